#include "py_session.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "encoder_protocol.h"
#include "exit_codes.h"
#include "port_access.h"
#include "port_diagnosis.h"
#include "signal_wake.h"

namespace quillon::python {

namespace {

int errnoOf(const std::string& path) {
  using Cause = portmap::PortDiagnosis::Cause;
  const portmap::PortDiagnosis found = portmap::diagnosePort(path);
  switch (found.cause) {
    case Cause::kMissing: return ENOENT;
    case Cause::kFolderShut:
    case Cause::kNoPermission: return EACCES;
    case Cause::kInUse: return EBUSY;
    case Cause::kNotATerminal: return ENOTTY;
    case Cause::kOther: return found.error;
    case Cause::kNone: break;
  }
  return EIO;
}

}  // namespace

PySession::PySession(std::string port, int baud)
    : port_(std::move(port)),
      baud_(baud),
      // Escape on the keyboard does not concern a script: its waits end on
      // Ctrl-C through the signal's descriptor.
      probe_(makeNullKeyboardProbe()),
      device_(*probe_) {
  const auto target = batch::resolvePort(port_, "the port");
  if (const auto* message = std::get_if<std::string>(&target))
    throw std::invalid_argument(*message);
  path_ = std::get<batch::PortTarget>(target).path;
  waitFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  for (const int fd : {signalFd(), timerFd_}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(waitFd_, EPOLL_CTL_ADD, fd, &event);
  }
  EncoderDevice::WaitOptions wait;
  wait.interruptFd = waitFd_;
  wait.endOnCompleteReply = true;
  wait.traffic = [this](bool sent, std::span<const std::uint8_t> bytes) {
    if (sent)
      lastSentWasReset_ = std::ranges::equal(bytes, protocol::kResetFrame);
    if (watch_) watch_(sent, bytes);
  };
  device_.setWaitOptions(std::move(wait));
  if (device_.Open(path_, baud) != QUILLON_OK) {
    const int error = errnoOf(path_);
    PortOpenError failure{error, batch::portProblem(path_), path_};
    ::close(waitFd_);
    ::close(timerFd_);
    throw failure;
  }
}

PySession::~PySession() {
  close();
  ::close(waitFd_);
  ::close(timerFd_);
}

void PySession::close() { device_.Close(); }

bool PySession::interrupted() const { return signalCame(); }

void PySession::setDeadline(
    std::optional<std::chrono::steady_clock::time_point> end) {
  itimerspec expiry{};
  if (end) {
    const auto left = std::max(*end - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration(1));
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    expiry.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    expiry.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  ::timerfd_settime(timerFd_, 0, &expiry, nullptr);  // zero: disarmed
}

bool PySession::deadlinePassed() const {
  pollfd entry{timerFd_, POLLIN, 0};
  return ::poll(&entry, 1, 0) == 1;
}

int PySession::fail(Status status, std::string_view what,
                    std::string_view after) {
  lastStatus_ = status;
  if (status == QUILLON_ERR_ESCAPE || interrupted()) {
    resetAfterInterrupt();
    message_ = "interrupted; the encoder" + at_ + " was reset";
    return batch::kExitInterrupted;
  }
  const batch::Failure failure = batch::failureOf(status, what, at_, baud_);
  message_ = failure.message + std::string(after);
  return failure.code;
}

Status PySession::resetAfterInterrupt() {
  // A read or write ended by the signal has sent the reset frame already.
  return lastSentWasReset_ ? QUILLON_OK : device_.Reset();
}

Status PySession::checkStillAnswers(bool* lateAnswer) {
  return batch::checkStillAnswers(device_, lateAnswer);
}

}  // namespace quillon::python
