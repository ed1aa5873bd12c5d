#include "usage_errors.h"

#include <algorithm>
#include <charconv>
#include <sstream>
#include <vector>

namespace quillon::cli {

namespace {

std::string inQuotes(const std::string& word) { return "\"" + word + "\""; }

// "a, b or c"
std::string listed(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
    text += words[i];
  }
  return text;
}

std::vector<std::string> subcommandNames(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app->get_subcommands({}))
    names.push_back(sub->get_name());
  return names;
}

// The subcommand the line chose, or null.
const CLI::App* chosenSubcommand(const CLI::App* app) {
  for (const CLI::App* sub : app->get_subcommands({}))
    if (sub->parsed()) return sub;
  return nullptr;
}

// The last subcommand the line chose (queue's load, not queue), or null.
const CLI::App* deepestSubcommand(const CLI::App* app) {
  const CLI::App* chosen = nullptr;
  for (const CLI::App* next = chosenSubcommand(app); next != nullptr;
       next = chosenSubcommand(next))
    chosen = next;
  return chosen;
}

// "queue load": the words that chose it.
std::string commandPath(const CLI::App* sub) {
  std::string path;
  for (; sub != nullptr && sub->get_parent() != nullptr;
       sub = sub->get_parent())
    path = sub->get_name() + (path.empty() ? "" : " " + path);
  return path;
}

// Edits (insert, delete, change, swap two neighbours) from a to b.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(
      a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// "; did you mean \"init\"?" for the nearest name within two edits.
std::string didYouMean(const std::string& word,
                       const std::vector<std::string>& names) {
  std::string best;
  std::size_t nearest = 3;
  for (const std::string& name : names) {
    if (const std::size_t d = editDistance(word, name); d < nearest) {
      nearest = d;
      best = name;
    }
  }
  return best.empty() ? "" : "; did you mean \"" + best + "\"?";
}

// "unknown subcommand "iniit" of queue (one of init, ...); did you mean
// "init"?": for the program or a subcommand that has subcommands.
std::string unknownSubcommand(const CLI::App* parent, const std::string& word) {
  const auto names = subcommandNames(parent);
  const std::string of =
      parent->get_parent() == nullptr ? "" : " of " + commandPath(parent);
  return "unknown subcommand " + inQuotes(word) + of + " (one of " +
         listed(names) + ")" + didYouMean(word, names);
}

// Words nobody took, the first option among them first: it is the likelier
// typo ("--trakcs 1" leaves "1" over too).
std::vector<std::string> leftOver(const CLI::App* app,
                                  const std::string& message) {
  std::vector<std::string> words = app->remaining(true);
  // A subcommand's extras are not the program's remaining(): the message
  // lists them ("... not expected: now").
  if (const auto colon = message.find("expected: ");
      words.empty() && colon != std::string::npos) {
    std::istringstream list(message.substr(colon + 10));
    for (std::string word; list >> word;) words.push_back(word);
  }
  std::stable_partition(words.begin(), words.end(), [](const std::string& w) {
    return w.size() > 1 && w[0] == '-';
  });
  return words;
}

std::string leftOverMessage(const CLI::App* app, const std::string& message) {
  const auto words = leftOver(app, message);
  if (words.empty()) return {};
  const std::string& word = words.front();
  const CLI::App* chosen = deepestSubcommand(app);
  if (word.size() > 1 && word[0] == '-') {
    return "unknown option " + inQuotes(word) + " (quillon " +
           (chosen != nullptr ? commandPath(chosen) + " " : std::string()) +
           "--help lists them)";
  }
  if (chosen == nullptr) return unknownSubcommand(app, word);
  if (!chosen->get_subcommands({}).empty())
    return unknownSubcommand(chosen, word);
  return "unexpected argument " + inQuotes(word);
}

// What a required value that is missing stands for: "coercivity needs high
// or low".
std::string missingValueMessage(const CLI::App* app) {
  const CLI::App* sub = chosenSubcommand(app);
  if (sub == nullptr) return {};
  for (const CLI::Option* option : sub->get_options()) {
    if (option->get_positional() && option->get_required() &&
        option->count() == 0)
      return sub->get_name() + " needs " + option->get_description();
  }
  return {};
}

}  // namespace

CLI::Validator wholeNumberFrom(const std::string& name, long minimum) {
  return CLI::Validator(
      [name, minimum](std::string& text) -> std::string {
        long value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (text.empty() || error != std::errc() || stop != end)
          return name + " takes a whole number, not " + inQuotes(text);
        if (value < minimum) {
          return name + " must be at least " + std::to_string(minimum) +
                 ", not " + inQuotes(text);
        }
        return {};
      },
      "");
}

CLI::Validator oneOf(const std::string& name,
                     std::initializer_list<const char*> words) {
  std::vector<std::string> allowed(words.begin(), words.end());
  std::string shown = "{";
  for (const auto& word : allowed)
    shown += (shown.size() > 1 ? "," : "") + word;
  shown += "}";
  return CLI::Validator(
      [name, allowed](std::string& text) -> std::string {
        if (std::find(allowed.begin(), allowed.end(), text) != allowed.end())
          return {};
        return name + " takes " + listed(allowed) + ", not " + inQuotes(text);
      },
      shown);
}

std::string usageError(const CLI::App* app, const CLI::Error& error) {
  std::string message = error.what();
  // By type: an error a subcommand raises carries its name instead.
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr) {
    // "--count: <our sentence>": the sentence names the option itself.
    if (const auto colon = message.find(": "); colon != std::string::npos)
      message.erase(0, colon + 2);
  } else if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    message = leftOverMessage(app, message);
  } else if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
    if (auto left = leftOverMessage(app, {}); !left.empty()) {
      message = left;  // "frob" was taken for no subcommand
    } else if (auto missing = missingValueMessage(app); !missing.empty()) {
      message = missing;
    } else if (const CLI::App* chosen = deepestSubcommand(app);
               chosen == nullptr) {
      message = "a subcommand is required: " + listed(subcommandNames(app)) +
                " (quillon --help)";
    } else if (!chosen->get_subcommands({}).empty()) {
      message = commandPath(chosen) +
                " needs a subcommand: " + listed(subcommandNames(chosen)) +
                " (quillon " + commandPath(chosen) + " --help)";
    }
  } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    // "--count: 1 required INT missing"
    message = message.substr(0, message.find(':')) + " needs a value";
  }
  if (message.empty()) message = error.what();
  if (!message.empty() && message[0] >= 'A' && message[0] <= 'Z')
    message[0] = static_cast<char>(message[0] - 'A' + 'a');
  return "quillon: " + message + "\n";
}

}  // namespace quillon::cli
