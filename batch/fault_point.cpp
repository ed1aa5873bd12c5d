#include "fault_point.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>

namespace quillon::batch {

namespace {

constexpr int kDrop = -1;  // not a signal: the queue's reply is lost

struct Fault {
  std::string point;
  int signal = 0;
  std::optional<long> card;
};

std::optional<Fault> parse(const char* text) {
  if (text == nullptr) return std::nullopt;
  const std::string_view all(text);
  const auto colon = all.find(':');
  if (colon == all.npos) return std::nullopt;
  Fault fault{std::string(all.substr(0, colon)), 0, std::nullopt};
  std::string_view rest = all.substr(colon + 1);
  const auto second = rest.find(':');
  const std::string_view name = rest.substr(0, second);
  if (name == "KILL") fault.signal = SIGKILL;
  if (name == "INT") fault.signal = SIGINT;
  if (name == "TERM") fault.signal = SIGTERM;
  if (name == "HUP") fault.signal = SIGHUP;
  if (name == "STOP") fault.signal = SIGSTOP;
  if (name == "DROP") fault.signal = kDrop;
  if (fault.signal == 0) return std::nullopt;
  if (second != rest.npos) {
    const std::string_view number = rest.substr(second + 1);
    long card = 0;
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), card);
    if (error != std::errc() || end != number.data() + number.size())
      return std::nullopt;
    fault.card = card;
  }
  return fault;
}

const std::optional<Fault>& armedFault() {
  static const std::optional<Fault> fault =
      parse(std::getenv("QUILLON_FAULT_AT"));
  return fault;
}

// The fault, the first time a card reaches its point (a signal's or a
// drop's, as `drop` says); none otherwise.
const Fault* firstTimeAt(std::string_view point, long card, bool drop) {
  const std::optional<Fault>& fault = armedFault();
  static std::atomic<bool> fired{false};
  if (!fault || fault->point != point || (fault->card && *fault->card != card))
    return nullptr;
  if ((fault->signal == kDrop) != drop) return nullptr;
  return fired.exchange(true) ? nullptr : &*fault;
}

}  // namespace

void faultPoint(std::string_view point, long card) {
  // To the process, not this thread: every encoder's wait sees it.
  if (const Fault* fault = firstTimeAt(point, card, false))
    ::kill(::getpid(), fault->signal);
}

bool faultDrop(std::string_view point, long card) {
  return firstTimeAt(point, card, true) != nullptr;
}

bool faultArmed(std::string_view point) {
  return armedFault() && armedFault()->point == point;
}

}  // namespace quillon::batch
