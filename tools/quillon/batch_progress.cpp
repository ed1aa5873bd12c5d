#include "batch_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
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

// The terminal's width; 0 when stderr is none.
std::size_t terminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// A line longer than the terminal would wrap, and the next update could
// not take it back: it must leave the last column free.
bool fits(const std::string& line, std::size_t width) {
  return width <= 1 || line.size() < width;
}

// The first of `lines` that fits, else the last cut to the width but for
// its end (`tail`, the count and rate), which matters most.
std::string fitted(const std::vector<std::string>& lines,
                   const std::string& tail) {
  const std::size_t width = terminalWidth();
  for (const std::string& line : lines) {
    if (fits(line + tail, width)) return line + tail;
  }
  const std::string& last = lines.back();
  if (width <= tail.size() + 2) return (last + tail).substr(0, width - 1);
  return last.substr(0, width - 2 - tail.size()) + "~" + tail;
}

// The part of a port's name that tells it apart: the file's name
// ("ttyUSB1"), and for a by-id link its serial number
// ("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" gives "A50285BI").
std::string shortName(const std::string& port) {
  std::string name = port.substr(port.rfind('/') + 1);
  if (!name.starts_with("usb-")) return name;
  if (const auto suffix = name.rfind("-if"); suffix != std::string::npos)
    name.erase(suffix);
  return name.substr(name.rfind('_') + 1);
}

// "card 41 written" as "card 41", "waiting for a card" as "waiting".
std::string shortState(const std::string& state) {
  const auto space = state.find(' ');
  if (state.starts_with("card "))
    return state.substr(0, state.find(' ', space + 1));
  return state.substr(0, space);
}

}  // namespace

BatchProgress::BatchProgress(bool quiet, std::vector<std::string> ports,
                             long total, std::string verb)
    : show_(!quiet && ::isatty(STDERR_FILENO)),
      ports_(std::move(ports)),
      shortPorts_(ports_.size()),
      states_(ports_.size(), "starting"),
      total_(total),
      verb_(std::move(verb)),
      start_(secondsNow()) {
  for (std::size_t i = 0; i < ports_.size(); ++i)
    shortPorts_[i] = shortName(ports_[i]);
  // Two by-id links of one device (its interfaces) keep their file names.
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    if (std::ranges::count(shortPorts_, shortPorts_[i]) > 1)
      shortPorts_[i] = ports_[i].substr(ports_[i].rfind('/') + 1);
  }
}

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
    std::snprintf(perCard, sizeof perCard, ", %.1f s/card",
                  (secondsNow() - start_) / static_cast<double>(doneHere_));
    single_ = "card " + std::to_string(number);
    if (total_ > 0) single_ += " of " + std::to_string(total_);
    single_ += " " + verb_;
    singleShort_ = single_;
    if (!detail.empty()) single_ += ", " + detail;
    singleTail_ = perCard;
  }
  draw();
}

void BatchProgress::draw() {
  if (!show_) return;
  if (ports_.size() == 1) {
    if (!single_.empty())
      status_line::show(fitted({single_, singleShort_}, singleTail_));
    return;
  }
  // The ports' names in full, then short, then the states short too; the
  // count and the rate always.
  std::string full, named, brief;
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    const std::string gap = i == 0 ? "" : ", ";
    full += gap + ports_[i] + " " + states_[i];
    named += gap + shortPorts_[i] + " " + states_[i];
    brief += gap + shortPorts_[i] + " " + shortState(states_[i]);
  }
  std::string tail = "; " + std::to_string(done_);
  if (total_ > 0) tail += " of " + std::to_string(total_);
  const double minutes = (secondsNow() - start_) / 60.0;
  char rate[32];
  std::snprintf(rate, sizeof rate, ", %.0f cards/min",
                minutes > 0 ? static_cast<double>(doneHere_) / minutes : 0.0);
  status_line::show(fitted({full, named, brief}, tail + rate));
}

}  // namespace quillon::cli
