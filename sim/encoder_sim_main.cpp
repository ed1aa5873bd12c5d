// quillon-encoder-sim: the simulated encoder as a program, for demos and for
// trying the library or Velmora by hand. It prints the line's path and serves
// it until SIGINT or SIGTERM.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "card_files.h"
#include "encoder_protocol.h"
#include "frame_faults.h"
#include "simulated_encoder.h"

namespace {

constexpr const char* kUsage =
    "Usage: quillon-encoder-sim [options]\n"
    "Serves a simulated card encoder on a new pseudo-terminal and prints\n"
    "its path on stdout. Stops on SIGINT or SIGTERM.\n"
    "\n"
    "  --link PATH        also make PATH a symbolic link to the line\n"
    "                     (removed on exit)\n"
    "  --baud N           send replies at N baud, 10 bits a byte\n"
    "                     (default: at once)\n"
    "  --deck FILE        cards to swipe, one \"track1|track2|track3\" a "
    "line\n"
    "  --swipe-delay MS   swipe a card MS ms after each read, write or "
    "erase\n"
    "                     (default: when Enter is pressed on this terminal)\n"
    "  --record FILE      append each written card to FILE as a JSON line\n"
    "  --corrupt-write N  answer the Nth write 'p' but leave a changed card,\n"
    "                     so that reading it back differs (may be repeated)\n"
    "  --reply FILE       send FILE's bytes in place of the next awaited "
    "reply\n"
    "                     (may be repeated: one reply each, in order)\n"
    "  --byte-gap MS      send the first 64 awaited replies one byte at a\n"
    "                     time, MS ms apart\n"
    "  --unplug-after N   close the line as if unplugged once N frames have\n"
    "                     been received (the program goes on until stopped)\n"
    "  --tray FILE        the first card of FILE (deck format) lies on the\n"
    "                     tray, as the last card written: reads swipe it\n"
    "                     when the deck is empty\n"
    "  --faults FILE      line faults set off by frame number (cut, late,\n"
    "                     twice, noise, hangup; see sim/frame_faults.h)\n"
    "  --verbose          show frames received and bytes sent on stderr, in "
    "hex\n"
    "  --help             show this text\n";

constexpr int kByteGapReplies = 64;

struct Settings {
  std::string link;
  int baud = 0;
  std::string deck;
  std::optional<int> swipeDelayMs;
  std::string record;
  std::vector<int> corruptWrites;
  std::vector<std::string> replies;
  std::optional<int> byteGapMs;
  std::optional<int> unplugAfterFrames;
  std::string tray;
  std::string faults;
  bool verbose = false;
};

std::optional<int> parseCount(const char* text) {
  int value = 0;
  const char* end = text + std::strlen(text);
  const auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end || value < 0) return std::nullopt;
  return value;
}

// 0: go on; otherwise the exit code.
int parseArguments(int argc, char** argv, Settings& settings) {
  enum {
    kLink = 1,
    kBaud,
    kDeck,
    kSwipeDelay,
    kRecord,
    kCorruptWrite,
    kReply,
    kByteGap,
    kUnplugAfter,
    kTray,
    kFaults,
    kVerbose,
    kHelp
  };
  static const option options[] = {
      {"link", required_argument, nullptr, kLink},
      {"baud", required_argument, nullptr, kBaud},
      {"deck", required_argument, nullptr, kDeck},
      {"swipe-delay", required_argument, nullptr, kSwipeDelay},
      {"record", required_argument, nullptr, kRecord},
      {"corrupt-write", required_argument, nullptr, kCorruptWrite},
      {"reply", required_argument, nullptr, kReply},
      {"byte-gap", required_argument, nullptr, kByteGap},
      {"unplug-after", required_argument, nullptr, kUnplugAfter},
      {"tray", required_argument, nullptr, kTray},
      {"faults", required_argument, nullptr, kFaults},
      {"verbose", no_argument, nullptr, kVerbose},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0}};
  int option = 0;
  while ((option = getopt_long(argc, argv, "", options, nullptr)) != -1) {
    std::optional<int> number;
    switch (option) {
      case kLink: settings.link = optarg; break;
      case kDeck: settings.deck = optarg; break;
      case kRecord: settings.record = optarg; break;
      case kReply: settings.replies.emplace_back(optarg); break;
      case kTray: settings.tray = optarg; break;
      case kFaults: settings.faults = optarg; break;
      case kVerbose: settings.verbose = true; break;
      case kHelp: std::cout << kUsage; return -1;
      case kBaud:
      case kSwipeDelay:
      case kCorruptWrite:
      case kByteGap:
      case kUnplugAfter:
        number = parseCount(optarg);
        if (!number) {
          std::cerr << "quillon-encoder-sim: not a number: " << optarg << '\n';
          return 2;
        }
        if (option == kBaud) settings.baud = *number;
        if (option == kSwipeDelay) settings.swipeDelayMs = number;
        if (option == kCorruptWrite) settings.corruptWrites.push_back(*number);
        if (option == kByteGap) settings.byteGapMs = number;
        if (option == kUnplugAfter) settings.unplugAfterFrames = number;
        break;
      default: std::cerr << kUsage; return 2;
    }
  }
  if (optind < argc) {
    std::cerr << "quillon-encoder-sim: unexpected argument: " << argv[optind]
              << '\n';
    return 2;
  }
  return 0;
}

std::string hex(const sim::Bytes& bytes) {
  std::string out;
  char digits[4];
  for (const auto byte : bytes) {
    std::snprintf(digits, sizeof digits, " %02X", byte);
    out += digits;
  }
  return out;
}

bool isSymlink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Links `link` to `target`, replacing an old link but never a file.
bool makeLink(const std::string& link, const std::string& target) {
  if (isSymlink(link)) ::unlink(link.c_str());
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    std::cerr << "quillon-encoder-sim: cannot link " << link << ": "
              << std::strerror(errno) << '\n';
    return false;
  }
  return true;
}

// Removes the link only while it still points at our line.
void removeLink(const std::string& link, const std::string& target) {
  char buffer[512];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return;
  if (std::string(buffer, static_cast<std::size_t>(n)) == target) {
    ::unlink(link.c_str());
  }
}

std::optional<sim::Bytes> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return sim::Bytes((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
}

// Hands the schedule's faults to the encoder; a hang-up is ours to do, as
// --unplug-after does it. False after a message.
bool scheduleFaults(sim::SimulatedEncoder& encoder, Settings& settings) {
  const auto bytes = readWholeFile(settings.faults);
  if (!bytes) {
    std::cerr << "quillon-encoder-sim: cannot read " << settings.faults << '\n';
    return false;
  }
  const auto parsed = sim::parseFrameFaults(std::string_view(
      reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (const auto* message = std::get_if<std::string>(&parsed)) {
    std::cerr << "quillon-encoder-sim: " << settings.faults << ": " << *message
              << '\n';
    return false;
  }
  for (const sim::FrameFault& fault :
       std::get<std::vector<sim::FrameFault>>(parsed)) {
    if (fault.kind != sim::FrameFault::Kind::Hangup) {
      encoder.scheduleFault(fault);
      continue;
    }
    const int frame = static_cast<int>(fault.frame);
    if (!settings.unplugAfterFrames || frame < *settings.unplugAfterFrames)
      settings.unplugAfterFrames = frame;
  }
  return true;
}

// Waits for a stop signal; Enter on stdin swipes a card when asked to, and
// `unplugRequests` turning readable unplugs the line (the serving thread
// may not do that itself).
void serveUntilSignalled(sim::SimulatedEncoder& encoder, int signals,
                         int unplugRequests, bool swipeOnEnter) {
  bool watchStdin = swipeOnEnter;
  while (true) {
    pollfd fds[3] = {{signals, POLLIN, 0},
                     {unplugRequests, POLLIN, 0},
                     {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, watchStdin ? 3 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) return;
    if (fds[1].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto n =
          ::read(unplugRequests, &count, sizeof count);
      encoder.unplug();
      std::cerr << "quillon-encoder-sim: unplugged\n";
    }
    if (!watchStdin || !(fds[2].revents & (POLLIN | POLLHUP))) continue;
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      std::cerr
          << "quillon-encoder-sim: stdin closed; no more swipes by Enter\n";
      watchStdin = false;
      continue;
    }
    if (std::memchr(buffer, '\n', static_cast<std::size_t>(n)) == nullptr) {
      continue;
    }
    std::cerr << (encoder.swipe() ? "card swiped\n"
                                  : "nothing waits for a card\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (const int code = parseArguments(argc, argv, settings); code != 0) {
    return code < 0 ? 0 : code;
  }

  // A shell starts background jobs with SIGINT ignored; this program is
  // meant to stop on it wherever it runs. Blocked before the serving
  // thread starts, so only signalfd sees the signals.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signals < 0) {
    std::cerr << "quillon-encoder-sim: signalfd: " << std::strerror(errno)
              << '\n';
    return 1;
  }

  sim::SimulatedEncoder::Options options;
  options.baudRate = settings.baud;
  options.swipeDelay = std::nullopt;
  if (settings.swipeDelayMs) {
    options.swipeDelay = std::chrono::milliseconds(*settings.swipeDelayMs);
  }
  sim::SimulatedEncoder encoder(options);
  if (!settings.deck.empty() && !encoder.loadDeckFile(settings.deck)) {
    std::cerr << "quillon-encoder-sim: " << encoder.errorText() << '\n';
    return 1;
  }
  encoder.setWriteRecordFile(settings.record);
  for (const int ordinal : settings.corruptWrites)
    encoder.corruptWrite(ordinal);
  for (const std::string& path : settings.replies) {
    auto bytes = readWholeFile(path);
    if (!bytes) {
      std::cerr << "quillon-encoder-sim: cannot read " << path << '\n';
      return 1;
    }
    encoder.replaceNextReply(std::move(*bytes));
  }
  if (settings.byteGapMs) {
    // One-byte bursts for up to 10 times the largest reply.
    const std::vector<std::size_t> bytes(10 * protocol::kMaxReplySize, 1);
    for (int reply = 0; reply < kByteGapReplies; ++reply)
      encoder.splitNextReply(bytes,
                             std::chrono::milliseconds(*settings.byteGapMs));
  }
  if (!settings.tray.empty()) {
    const auto cards = sim::readDeckFile(settings.tray);
    if (!cards || cards->empty()) {
      std::cerr << "quillon-encoder-sim: no card in " << settings.tray << '\n';
      return 1;
    }
    encoder.placeOnTray(cards->front());
  }
  if (!settings.faults.empty() && !scheduleFaults(encoder, settings)) return 1;
  const int unplugRequests = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (unplugRequests < 0) {
    std::cerr << "quillon-encoder-sim: eventfd: " << std::strerror(errno)
              << '\n';
    return 1;
  }
  const bool swipeOnEnter = !settings.swipeDelayMs.has_value();
  int framesReceived = 0;
  encoder.setTrafficObserver(
      [&encoder, &settings, &framesReceived, unplugRequests, swipeOnEnter](
          sim::SimulatedEncoder::Direction direction, const sim::Bytes& bytes) {
        const bool received =
            direction == sim::SimulatedEncoder::Direction::Received;
        if (settings.verbose) {
          std::fprintf(stderr, "%s%s\n", received ? "<-" : "->",
                       hex(bytes).c_str());
        }
        if (received && settings.unplugAfterFrames &&
            ++framesReceived == *settings.unplugAfterFrames) {
          const std::uint64_t one = 1;
          [[maybe_unused]] const auto n =
              ::write(unplugRequests, &one, sizeof one);
        }
        if (received && swipeOnEnter && encoder.waitingForSwipe()) {
          std::fprintf(stderr, "waiting for a card: press Enter to swipe\n");
        }
      });
  if (!encoder.start()) {
    std::cerr << "quillon-encoder-sim: " << encoder.errorText() << '\n';
    return 1;
  }
  const std::string line = encoder.slavePath();
  if (!settings.link.empty() && !makeLink(settings.link, line)) return 1;
  std::cout << line << std::endl;

  serveUntilSignalled(encoder, signals, unplugRequests, swipeOnEnter);

  encoder.stop();
  if (!settings.link.empty()) removeLink(settings.link, line);
  ::close(signals);
  ::close(unplugRequests);
  return 0;
}
