#include "journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "card_file.h"
#include "card_text.h"
#include "encoder_protocol.h"
#include "fault_point.h"

namespace quillon::batch {

namespace {

const char* const kTrackNames[] = {"track1", "track2", "track3"};

// Every journal line begins so.
constexpr std::string_view kLineStart = R"({"card":)";
constexpr const char* kSent = "sent";
constexpr const char* kUnwritten = "unwritten";

// One journal line, taken apart.
struct JournalLine {
  JournalEntry entry;
  std::optional<CardStep> step;  // none: the line confirms the card
};

std::optional<JournalLine> parseLine(std::string_view text) {
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object() || !json.contains("card") ||
      !json["card"].is_number_integer())
    return std::nullopt;
  JournalLine line;
  line.entry.card = json["card"].get<long>();
  if (json.contains("port")) {
    if (!json["port"].is_string()) return std::nullopt;
    line.entry.port = json["port"].get<std::string>();
  }
  if (json.contains("state")) {
    const auto& state = json["state"];
    if (state == kSent) {
      line.step = CardStep::Sent;
    } else if (state == kUnwritten) {
      line.step = CardStep::Unwritten;
    } else {
      return std::nullopt;  // a state this program does not know
    }
    return line;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    if (!json.contains(kTrackNames[i])) continue;
    if (!json[kTrackNames[i]].is_string()) return std::nullopt;
    auto bytes = utf8ToLatin1(json[kTrackNames[i]].get<std::string>());
    if (!bytes) return std::nullopt;
    line.entry.tracks[i] = std::move(*bytes);
  }
  return line;
}

// Takes JSON in without keeping it, noting where it first goes wrong.
struct ErrorPosition : nlohmann::json_sax<nlohmann::json> {
  bool failed = false;
  std::size_t position = 0;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t at, const std::string&,
                   const nlohmann::detail::exception&) override {
    failed = true;
    position = at;
    return false;
  }
};

// True when `text` (no line end) is how a journal line begins: JSON that
// ends early, not JSON that goes wrong. The parser counts the end of its
// input as one character past the last: text that is only cut short
// fails there and nowhere before.
bool isJournalLineStart(std::string_view text) {
  if (!text.starts_with(kLineStart)) return kLineStart.starts_with(text);
  ErrorPosition sax;
  nlohmann::json::sax_parse(text, &sax);
  return !sax.failed || sax.position > text.size();
}

}  // namespace

std::variant<JournalText, std::string> readJournalText(
    std::string_view text, const std::string& name) {
  JournalText contents;
  long lineNumber = 1;
  std::size_t from = 0;
  const auto notAJournal = [&] {
    return name + " line " + std::to_string(lineNumber) +
           " is not a journal line: nothing in it was changed; name the "
           "journal of this batch, or a new file";
  };
  std::map<long, bool> confirmed;
  for (std::size_t end; (end = text.find('\n', from)) != text.npos;
       from = end + 1, ++lineNumber) {
    auto line = parseLine(text.substr(from, end - from));
    if (!line) return notAJournal();
    const long card = line->entry.card;
    if (!line->step) {
      contents.inDoubt.erase(card);
      confirmed[card] = true;
      contents.confirmed.push_back(std::move(line->entry));
    } else if (confirmed.contains(card)) {
      // A confirmed card stays confirmed: nothing is sent for it again.
    } else if (*line->step == CardStep::Sent) {
      contents.inDoubt[card] = std::move(line->entry.port);
    } else {
      contents.inDoubt.erase(card);
    }
  }
  // After the last line end: a line that an end during its write cut
  // short, never confirmed; anything else is no journal's.
  const std::string_view rest = text.substr(from);
  if (!rest.empty() && !isJournalLineStart(rest)) return notAJournal();
  contents.tornBytes = rest.size();
  return contents;
}

Journal::~Journal() {
  if (fd_ >= 0) ::close(fd_);
}

std::string Journal::lock() {
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return {};
  if (errno == EWOULDBLOCK)
    return name_ + " is in use by another program (a quillon writing it)";
  return "cannot lock " + name_ + ": " + std::strerror(errno);
}

std::string Journal::take(const std::string& path) {
  path_ = path;
  name_ = "the journal " + path;
  const auto unusable = [&](const std::string& why) {
    return "cannot use " + name_ + ": " + why;
  };
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return {};  // startWriting() makes it
    return unusable(std::strerror(errno));
  }
  // Checked before it is opened: opening a device or a pipe can act.
  if (!S_ISREG(info.st_mode)) return name_ + " is not a regular file";
  if (auto problem = othersFileProblem(info); !problem.empty())
    return unusable(problem);
  fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) return unusable(std::strerror(errno));
  if (auto problem = lock(); !problem.empty()) return problem;
  // The path may name another file by now: what counts is the one open.
  if (::fstat(fd_, &info) != 0) return unusable(std::strerror(errno));
  if (!S_ISREG(info.st_mode)) return name_ + " is not a regular file";
  if (auto problem = othersFileProblem(info); !problem.empty())
    return unusable(problem);

  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n =
        ::pread(fd_, buffer, sizeof buffer, static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "cannot read " + name_ + ": " + std::strerror(errno);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  auto read = readJournalText(text, name_);
  if (auto* message = std::get_if<std::string>(&read)) return *message;
  contents_ = std::move(std::get<JournalText>(read));
  size_ = static_cast<off_t>(text.size());
  return {};
}

std::string Journal::syncFolder() const {
  const auto slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                          : path_.substr(0, slash);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0)
    return "cannot flush the folder of " + name_ + ": " + std::strerror(errno);
  const bool synced = ::fsync(dir) == 0;
  const int error = errno;
  ::close(dir);
  if (!synced)
    return "cannot flush the folder of " + name_ + ": " + std::strerror(error);
  return {};
}

std::string Journal::startWriting() {
  if (fd_ < 0) {
    // Missing when it was read: made now, and by this program only.
    fd_ = ::open(path_.c_str(),
                 O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                 0600);
    if (fd_ < 0 && errno == EEXIST)
      return name_ + " was made by another program meanwhile: run again";
    if (fd_ < 0) return "cannot create " + name_ + ": " + std::strerror(errno);
    if (auto problem = lock(); !problem.empty()) return problem;
    // Its name is on storage only once its folder is: a power loss must
    // not take a journal away whose lines were flushed.
    if (auto problem = syncFolder(); !problem.empty()) return problem;
  }
  struct stat info {};
  if (::fstat(fd_, &info) != 0)
    return "cannot use " + name_ + ": " + std::strerror(errno);
  if (auto problem = makePrivate(fd_, info); !problem.empty())
    return "cannot use " + name_ + ": " + problem;
  // The torn line goes, so the next line starts on a line of its own.
  if (contents_.tornBytes > 0) {
    if (::ftruncate(fd_, size_ - static_cast<off_t>(contents_.tornBytes)) != 0)
      return "cannot repair " + name_ + ": " + std::strerror(errno);
    contents_.tornBytes = 0;
  }
  return {};
}

std::string Journal::append(const CardRecord& record) {
  nlohmann::ordered_json line;
  line["card"] = record.sequence;
  line["time"] = isoTime(record.time);
  for (int track = 1; track <= 3; ++track) {
    if (!protocol::selectionHasTrack(record.selection, track)) continue;
    line[kTrackNames[track - 1]] =
        latin1ToUtf8(record.tracks[static_cast<std::size_t>(track - 1)]);
  }
  if (!record.port.empty()) line["port"] = record.port;
  return appendLine(line.dump(-1, ' ', true) + "\n", record.sequence);
}

std::string Journal::appendStep(long card, CardStep step,
                                const std::string& port,
                                std::chrono::system_clock::time_point time) {
  nlohmann::ordered_json line;
  line["card"] = card;
  line["state"] = step == CardStep::Sent ? kSent : kUnwritten;
  line["port"] = port;
  line["time"] = isoTime(time);
  return appendLine(line.dump(-1, ' ', true) + "\n", 0);
}

std::string Journal::appendLine(const std::string& text, long card) {
  struct stat before {};
  if (::fstat(fd_, &before) != 0)
    return "cannot write " + name_ + ": " + std::strerror(errno);
  // One write call a line, so that a stop leaves the line whole or not
  // there at all; only the test seam cuts a confirming line in two.
  const std::size_t half =
      card > 0 && faultArmed("journal") ? text.size() / 2 : text.size();
  std::size_t done = 0;
  while (done < text.size()) {
    if (done == half) faultPoint("journal", card);
    const std::size_t upTo = done < half ? half : text.size();
    const ssize_t n = ::write(fd_, text.data() + done, upTo - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      // The part that was written (a full disk takes what fits) is taken
      // back: the journal ends with its last whole line.
      std::string message =
          "cannot write " + name_ + ": " + std::strerror(error);
      if (done > 0 && ::ftruncate(fd_, before.st_size) != 0)
        message += " (its last line is cut short: the next start takes it off)";
      return message;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fdatasync(fd_) != 0)
    return "cannot flush " + name_ + ": " + std::strerror(errno);
  return {};
}

}  // namespace quillon::batch
