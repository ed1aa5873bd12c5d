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
  if (word.size() > 1 && word[0] == '-') {
    return "unknown option " + inQuotes(word) + " (quillon " +
           (chosenSubcommand(app) != nullptr
                ? chosenSubcommand(app)->get_name() + " "
                : std::string()) +
           "--help lists them)";
  }
  if (chosenSubcommand(app) == nullptr) {
    return "unknown subcommand " + inQuotes(word) + " (one of " +
           listed(subcommandNames(app)) + ")";
  }
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
    } else if (chosenSubcommand(app) == nullptr) {
      message = "a subcommand is required: " + listed(subcommandNames(app)) +
                " (quillon --help)";
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
