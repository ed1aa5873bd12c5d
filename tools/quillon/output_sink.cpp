#include "output_sink.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace quillon::cli {

namespace {

double secondsNow() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

OutputSink::~OutputSink() {
  if (owned_) std::fclose(file_);
}

std::string OutputSink::open(const std::string& path) {
  if (path.empty()) return {};
  file_ = std::fopen(path.c_str(), "wbe");
  if (file_ == nullptr) {
    file_ = stdout;
    return "cannot write " + path + ": " + std::strerror(errno);
  }
  owned_ = true;
  return {};
}

bool OutputSink::put(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), file_) == text.size() &&
         std::fflush(file_) == 0;
}

Progress::Progress(bool quiet)
    : show_(!quiet && ::isatty(STDERR_FILENO)), start_(secondsNow()) {}

void Progress::card(long number, long total, const std::string& verb,
                    const std::string& detail) {
  ++done_;
  if (!show_) return;
  char perCard[32];
  std::snprintf(perCard, sizeof perCard, "%.1f s/card",
                (secondsNow() - start_) / static_cast<double>(done_));
  std::string line = "card " + std::to_string(number);
  if (total > 0) line += " of " + std::to_string(total);
  line += " " + verb;
  if (!detail.empty()) line += ", " + detail;
  std::fprintf(stderr, "%s, %s\n", line.c_str(), perCard);
}

}  // namespace quillon::cli
