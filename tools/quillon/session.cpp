#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "encoder_protocol.h"
#include "exit_codes.h"
#include "port_access.h"
#include "quillon/core/status.h"
#include "status_line.h"

namespace quillon::cli {

namespace {

using namespace std::chrono_literals;

void showFrame(bool sent, std::span<const std::uint8_t> bytes,
               const std::string& at) {
  std::string line = at.empty() ? "" : at.substr(4) + " ";
  line += sent ? "->" : "<-";
  char hex[4];
  for (const auto byte : bytes) {
    std::snprintf(hex, sizeof hex, " %02X", byte);
    line += hex;
  }
  const status_line::Guard guard;
  status_line::clear();
  std::cerr << line << '\n';
}

}  // namespace

void printMessagesOnStderr() {
  setMessageSink([](std::string_view message) {
    const status_line::Guard guard;  // one whole line, whichever thread
    status_line::clear();  // a message never runs into the progress line
    std::cerr << "quillon: " << message << '\n';
  });
}

Session::Session(const GlobalOptions& options, std::string port,
                 InterruptSource& interrupt)
    : options_(options),
      port_(std::move(port)),
      at_(options.ports.size() > 1 ? " at " + port_ : ""),
      interrupt_(interrupt),
      // Escape on the keyboard does not concern a command-line program:
      // its waits end on Ctrl-C through the interrupt descriptor.
      probe_(makeNullKeyboardProbe()),
      device_(std::make_unique<EncoderDevice>(*probe_)) {
  endWaitsOn(interrupt_.fd());
}

void Session::endWaitsOn(int fd) {
  EncoderDevice::WaitOptions wait;
  wait.interruptFd = fd;
  wait.endOnCompleteReply = options_.replyEnd == "complete";
  wait.traffic = [this](bool sent, std::span<const std::uint8_t> bytes) {
    if (sent) {
      lastSentWasReset_ = std::ranges::equal(bytes, protocol::kResetFrame);
    }
    if (options_.verbose) showFrame(sent, bytes, at_);
    if (watch_) watch_(sent, bytes);
  };
  device_->setWaitOptions(std::move(wait));
}

Session::~Session() { device_->Close(); }

int Session::open() {
  const auto target = resolvePort(port_);
  if (const auto* message = std::get_if<std::string>(&target)) {
    complain(*message);
    return kExitUsage;
  }
  const auto& port = std::get<PortTarget>(target);
  if (device_->Open(port.path, options_.baud) != QUILLON_OK) {
    complain(portProblem(port.path));
    return kExitPort;
  }
  // A signal that came before the port was open ends the program before
  // it starts anything: no operation is pending, so nothing is sent.
  if (interrupt_.raised()) {
    if (!options_.quiet) complain("interrupted; nothing was sent");
    return kExitInterrupted;
  }
  return 0;
}

int Session::fail(Status status, std::string_view what,
                  std::string_view after) {
  // A reply cut short by the signal's wait is no failure of the encoder's.
  if (interrupted() || status == QUILLON_ERR_ESCAPE) return stopOnInterrupt();
  const Failure failure = failureOf(status, what, where(), options_.baud);
  complain(failure.message + std::string(after));
  return failure.code;
}

int Session::stopOnInterrupt() {
  resetAfterInterrupt();
  if (!options_.quiet)
    complain("interrupted; the encoder" + where() + " was reset");
  return kExitInterrupted;
}

Status Session::resetAfterInterrupt() {
  // A read or write ended by the signal has sent it already.
  return lastSentWasReset_ ? QUILLON_OK : device_->Reset();
}

Status Session::checkStillAnswers(bool* lateAnswer) {
  return batch::checkStillAnswers(*device_, lateAnswer);
}

}  // namespace quillon::cli
