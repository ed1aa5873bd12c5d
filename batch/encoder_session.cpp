#include "encoder_session.h"

#include <chrono>
#include <iostream>
#include <utility>

#include "exit_codes.h"

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

Failure failureOf(Status status, std::string_view what, const std::string& at,
                  int baud) {
  const std::string doing(what);
  switch (status) {
    case QUILLON_ERR_NO_REPLY:
      return {kExitNoReply, "no reply from the encoder" + at + " to " + doing +
                                " (is it switched on and at " +
                                std::to_string(baud) + " baud?)"};
    case QUILLON_ERR_DEVICE:
      return {kExitDevice,
              "the encoder" + at + " reported failure for " + doing};
    case QUILLON_ERR_NO_STATUS:
      return {kExitDevice, "no whole answer from the encoder" + at + " to " +
                               doing + " (cut short or garbled)"};
    case QUILLON_ERR_READ_START:
      return {kExitDevice,
              "could not wait for the reply of the encoder" + at + " to " +
                  doing};
    default:
      return {kExitPort, "the line to the encoder" + at + " was lost during " +
                             doing + " (unplugged or switched off?)"};
  }
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
