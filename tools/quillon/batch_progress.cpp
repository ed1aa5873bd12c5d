#include "batch_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "status_line.h"

namespace quillon::cli {

namespace {

double secondsNow() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A line longer than the terminal would wrap, and the next update could
// not take it back.
std::string fitted(std::string line) {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
      line.size() >= size.ws_col)
    line.resize(size.ws_col - 1u);
  return line;
}

}  // namespace

BatchProgress::BatchProgress(bool quiet, std::vector<std::string> ports,
                             long total, std::string verb)
    : show_(!quiet && ::isatty(STDERR_FILENO)),
      ports_(std::move(ports)),
      states_(ports_.size(), "starting"),
      total_(total),
      verb_(std::move(verb)),
      start_(secondsNow()) {}

BatchProgress::~BatchProgress() {
  if (status_line::sameTerminalAsStderr(STDOUT_FILENO)) {
    status_line::clear();
  } else {
    status_line::keep();
  }
}

void BatchProgress::doing(std::size_t encoder, const std::string& what) {
  const std::lock_guard lock(mutex_);
  states_.at(encoder) = what;
  if (ports_.size() > 1) draw();
}

void BatchProgress::cardDone(std::size_t encoder, long number, long done,
                             const std::string& detail) {
  const std::lock_guard lock(mutex_);
  ++doneHere_;
  done_ = done;
  states_.at(encoder) = "card " + std::to_string(number) + " " + verb_;
  if (ports_.size() == 1) {
    char perCard[32];
    std::snprintf(perCard, sizeof perCard, "%.1f s/card",
                  (secondsNow() - start_) / static_cast<double>(doneHere_));
    single_ = "card " + std::to_string(number);
    if (total_ > 0) single_ += " of " + std::to_string(total_);
    single_ += " " + verb_;
    if (!detail.empty()) single_ += ", " + detail;
    single_ += std::string(", ") + perCard;
  }
  draw();
}

void BatchProgress::draw() {
  if (!show_) return;
  if (ports_.size() == 1) {
    if (!single_.empty()) status_line::show(fitted(single_));
    return;
  }
  std::string line;
  for (std::size_t i = 0; i < ports_.size(); ++i)
    line += (i == 0 ? "" : ", ") + ports_[i] + " " + states_[i];
  line += "; " + std::to_string(done_);
  if (total_ > 0) line += " of " + std::to_string(total_);
  const double minutes = (secondsNow() - start_) / 60.0;
  char rate[32];
  std::snprintf(rate, sizeof rate, ", %.0f cards/min",
                minutes > 0 ? static_cast<double>(doneHere_) / minutes : 0.0);
  status_line::show(fitted(line + rate));
}

}  // namespace quillon::cli
