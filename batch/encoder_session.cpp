#include "encoder_session.h"

#include <chrono>
#include <iostream>
#include <utility>

namespace quillon::batch {

namespace {
std::function<void(std::string_view)>& messageSink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}
}  // namespace

void setMessageSink(std::function<void(std::string_view)> sink) {
  messageSink() = std::move(sink);
}

void complain(std::string_view message) {
  if (const auto& sink = messageSink()) {
    sink(message);
    return;
  }
  std::cerr << "quillon: " << message << '\n';
}

using namespace std::chrono_literals;

Status checkStillAnswers(EncoderDevice& device, bool* lateAnswer) {
  // What came after the wait would be dropped by the reset's frame.
  bool late = lateAnswer != nullptr && device.LateInput(0ms);
  // A line that is gone (unplugged) fails the reset already.
  if (const Status reset = device.Reset(); reset != QUILLON_OK) return reset;
  // An answer on its way when the reset went out still says what the
  // encoder did before it.
  if (lateAnswer == nullptr) return device.QueryStatus();
  late = device.LateInput(kLateAnswerQuiet) || late;
  // A late answer in front of the status's own, or behind it, makes the
  // status's reply more than one answer.
  bool alone = true;
  const Status status = device.QueryStatus(&alone);
  if (status == QUILLON_OK && !alone) late = true;
  if (status == QUILLON_OK) late = device.LateInput(kLateAnswerQuiet) || late;
  *lateAnswer = late;
  return status;
}

}  // namespace quillon::batch
