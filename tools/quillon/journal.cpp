#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "card_text.h"
#include "encoder_protocol.h"

namespace quillon::cli {

namespace {

const char* const kTrackNames[] = {"track1", "track2", "track3"};

std::optional<JournalEntry> parseLine(const std::string& line) {
  const auto json = nlohmann::json::parse(line, nullptr, false);
  if (!json.is_object() || !json.contains("card") ||
      !json["card"].is_number_integer())
    return std::nullopt;
  JournalEntry entry;
  entry.card = json["card"].get<long>();
  for (std::size_t i = 0; i < 3; ++i) {
    if (!json.contains(kTrackNames[i])) continue;
    if (!json[kTrackNames[i]].is_string()) return std::nullopt;
    auto bytes = utf8ToLatin1(json[kTrackNames[i]].get<std::string>());
    if (!bytes) return std::nullopt;
    entry.tracks[i] = std::move(*bytes);
  }
  return entry;
}

}  // namespace

std::variant<std::optional<JournalEntry>, std::string> lastJournalEntry(
    const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (::access(path.c_str(), F_OK) != 0) return std::optional<JournalEntry>{};
    return "cannot read the journal " + path;
  }
  std::optional<JournalEntry> last;
  long lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    if (in.eof()) break;  // no newline: cut short, never confirmed
    auto entry = parseLine(line);
    if (!entry) {
      return "the journal " + path + " line " + std::to_string(lineNumber) +
             " is not a journal line";
    }
    last = std::move(entry);
  }
  return last;
}

Journal::~Journal() {
  if (fd_ >= 0) ::close(fd_);
}

std::string Journal::open(const std::string& path) {
  path_ = path;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd_ < 0)
    return "cannot open the journal " + path + ": " + std::strerror(errno);
  // A line cut short by an earlier end (no line end) was never confirmed:
  // cut it off, so the next line starts on a line of its own.
  std::ifstream in(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
  const std::size_t lastEnd = content.find_last_of('\n');
  const off_t keep =
      lastEnd == std::string::npos ? 0 : static_cast<off_t>(lastEnd + 1);
  if (static_cast<std::size_t>(keep) != content.size() &&
      ::ftruncate(fd_, keep) != 0)
    return "cannot repair the journal " + path + ": " + std::strerror(errno);
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
  const std::string text = line.dump(-1, ' ', true) + "\n";
  struct stat before {};
  if (::fstat(fd_, &before) != 0)
    return "cannot write the journal " + path_ + ": " + std::strerror(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      // The part that was written (a full disk takes what fits) is taken
      // back: the journal ends with its last whole line.
      if (done > 0) (void)::ftruncate(fd_, before.st_size);
      return "cannot write the journal " + path_ + ": " + std::strerror(error);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fdatasync(fd_) != 0)
    return "cannot flush the journal " + path_ + ": " + std::strerror(errno);
  return {};
}

}  // namespace quillon::cli
