#include "quillon/core/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <optional>

#include "line_close.h"
#include "quillon/core/serial_line_speed.h"

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// poll() timeout until `deadline`, rounded up so that a wake-up never
// comes just before the deadline and spins.
int millisecondsUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<milliseconds>(left).count());
}

void setDtr(int fd, bool raised) {
  int bits = TIOCM_DTR;
  // A pseudo-terminal has no modem lines (ENOTTY/EINVAL): nothing to do.
  (void)ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace

SerialPort::SerialPort()
    : ownProbe_(makeMachineKeyboardProbe()),
      probe_(ownProbe_.get()),
      calls_(&serialline::systemTerminalCalls()) {}

SerialPort::SerialPort(KeyboardProbe& probe)
    : probe_(&probe), calls_(&serialline::systemTerminalCalls()) {}

SerialPort::SerialPort(KeyboardProbe& probe, serialline::TerminalCalls& calls)
    : probe_(&probe), calls_(&calls) {}

SerialPort::~SerialPort() = default;

bool SerialPort::Open(const std::string& path, std::uint32_t baudRate) {
  if (open_ || fd_ >= 0) Close();
  path_ = path;
  dataBits_ = 8;
  stopBits_ = 0;
  parity_ = 0;
  baudRate_ = baudRate;
  if (baudRate_ == 0) return false;  // no write timeout can follow from it

  fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) return false;

  // Exclusive, like a port opened without sharing: flock keeps out other
  // openers that lock, TIOCEXCL every further open() of the terminal.
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0 ||
      tcgetattr(fd_, &savedTermios_) != 0 || ioctl(fd_, TIOCEXCL) != 0) {
    releaseDescriptor();
    return false;
  }
  if (!configureLine()) {
    tcsetattr(fd_, TCSANOW, &savedTermios_);
    ioctl(fd_, TIOCNXCL);
    releaseDescriptor();
    return false;
  }
  tcflush(fd_, TCIOFLUSH);
  setDtr(fd_, true);
  open_ = true;
  return true;
}

bool SerialPort::configureLine() {
  termios tio = savedTermios_;
  cfmakeraw(&tio);  // no echo, no signals from bytes, no flow control
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8;
  tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const speed_t standard = standardSpeed(baudRate_);
  if (standard != B0) {
    if (cfsetspeed(&tio, standard) != 0) return false;
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
  }
  return tcsetattr(fd_, TCSANOW, &tio) == 0 && setCustomSpeed(fd_, baudRate_);
}

bool SerialPort::Close() {
  if (fd_ < 0) return true;
  open_ = false;
  // The last frame (a reset, an erase) leaves the transmitter before DTR
  // drops and the old settings come back.
  const bool drained = serialline::drainTransmitter(
      fd_, milliseconds(kCloseDrainLimitMs), *calls_);
  setDtr(fd_, false);
  calls_->flush(fd_, TCIFLUSH);
  serialline::restoreSettings(fd_, savedTermios_, drained, *calls_);
  // Without this a process without privileges could not open the
  // terminal again while another descriptor keeps it alive.
  ioctl(fd_, TIOCNXCL);
  releaseDescriptor();
  return true;
}

void SerialPort::releaseDescriptor() {
  calls_->close(fd_);  // also drops the flock
  fd_ = -1;
}

int SerialPort::writeTimeoutPerByteMs() const {
  return static_cast<int>(19200 / baudRate_);
}

Status SerialPort::Write(std::span<const std::uint8_t> bytes) {
  if (!open_) return QUILLON_ERR_NOT_OPEN;
  // Whatever the encoder sent since the last read is stale now.
  calls_->flush(fd_, TCIFLUSH);

  const int perByte = writeTimeoutPerByteMs();
  const std::optional<Clock::time_point> deadline =
      perByte == 0
          ? std::nullopt
          : std::optional(Clock::now() +
                          milliseconds(static_cast<long>(perByte) *
                                       static_cast<long>(bytes.size())));
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return QUILLON_ERR_WRITE;  // EIO: line lost
    // The driver's queue is full: wait until it takes more.
    pollfd p{fd_, POLLOUT, 0};
    const int timeout = deadline ? millisecondsUntil(*deadline) : -1;
    if (deadline && timeout == 0) return timedOut();
    const int ready = ::poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return timedOut();
    if (ready < 0) return QUILLON_ERR_WRITE;
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
      return QUILLON_ERR_WRITE;
  }
  return QUILLON_OK;
}

bool SerialPort::Heard(std::chrono::microseconds quiet) {
  if (!open_) return false;
  bool heard = false;
  const auto limit = Clock::now() + quiet + milliseconds(1000);
  auto deadline = Clock::now() + quiet;
  std::array<std::uint8_t, 64> sink{};
  for (;;) {
    // To the microsecond: a few bytes' time at the line's rate is short.
    const auto left = std::max(std::min(deadline, limit) - Clock::now(),
                               Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec wait{
        static_cast<time_t>(seconds.count()),
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds)
                .count())};
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::ppoll(&p, 1, &wait, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & POLLIN) == 0) return heard;
    const ssize_t n = ::read(fd_, sink.data(), sink.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return heard;  // the line is gone
    heard = true;
    deadline = Clock::now() + quiet;
  }
}

Status SerialPort::timedOut() {
  // The head of the frame must not reach the encoder later, on its own or
  // in front of the next frame.
  serialline::discardUnsent(fd_, *calls_);
  return QUILLON_ERR_WRITE;
}

SerialPort::Received SerialPort::Read(
    std::span<std::uint8_t, kReadSize> buffer) {
  return Read(buffer, ReadEnd{});
}

SerialPort::Received SerialPort::Read(std::span<std::uint8_t, kReadSize> buffer,
                                      const ReadEnd& end) {
  if (!open_) return {QUILLON_ERR_NOT_OPEN, 0};
  // Presses that ended before the read began do not count.
  probe_->beginWatch();

  const auto start = Clock::now();
  const milliseconds limit =
      end.limit.value_or(milliseconds(kTotalReadTimeoutMs));
  const std::optional<Clock::time_point> totalDeadline =
      limit < milliseconds::zero() ? std::nullopt
                                   : std::optional(start + limit);
  // Nothing by the caller's own bound is a timeout, not a missing reply.
  const Status nothingInTime =
      end.limit ? QUILLON_ERR_TIMED_OUT : QUILLON_ERR_NO_REPLY;
  std::optional<Clock::time_point> pauseDeadline;  // set by the first byte
  std::size_t count = 0;
  // Set once the interrupt has fired while a reply was arriving: the wait
  // no longer watches it and takes the rest of the reply.
  bool interrupted = false;
  // No allocation once the frame is out: a failure here could not be
  // reported truthfully. Keyboards past the array's size are only looked
  // at, not waited on.
  std::array<pollfd, 2 + kMaxWakeDescriptors> fds{};

  // What has arrived is the reply, however the wait ended after it.
  const auto result = [&](Status noBytes) -> Received {
    return count > 0 ? Received{QUILLON_OK, count} : Received{noBytes, 0};
  };

  for (;;) {
    if (probe_->escapePressed()) return {QUILLON_ERR_ESCAPE, 0};

    auto deadline = totalDeadline;
    if (pauseDeadline && (!deadline || *pauseDeadline < *deadline))
      deadline = pauseDeadline;
    int timeout = deadline ? millisecondsUntil(*deadline) : -1;
    // A reader that ran late (the system kept it waiting past the pause)
    // takes what is already waiting before it calls the reply ended: the
    // pause is the line's silence, not the reader's.
    const bool lastLook = timeout == 0;
    if (const auto recheck = probe_->recheckInterval()) {
      const int most = static_cast<int>(recheck->count());
      timeout = timeout < 0 ? most : std::min(timeout, most);
    }

    // Rebuilt every round: the probe drops keyboards that were unplugged.
    nfds_t used = 0;
    fds[used++] = {fd_, POLLIN, 0};
    const bool watchInterrupt = end.interruptFd >= 0 && !interrupted;
    if (watchInterrupt) fds[used++] = {end.interruptFd, POLLIN, 0};
    for (int fd : probe_->wakeDescriptors()) {
      if (used == fds.size()) break;
      fds[used++] = {fd, POLLIN, 0};
    }
    const int ready = ::poll(fds.data(), used, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return result(QUILLON_ERR_READ_START);
    }
    const short revents = fds[0].revents;
    if (watchInterrupt && fds[1].revents != 0) {
      // A reply that has begun (bytes taken, or waiting to be read) is
      // the encoder's answer to an operation it may have carried out: it
      // is taken whole, bounded by the pause and the total timeout, and
      // the caller sees the interrupt afterwards.
      if (count == 0 && (revents & POLLIN) == 0) return {QUILLON_ERR_ESCAPE, 0};
      interrupted = true;
    }
    if ((revents & POLLIN) != 0) {
      const ssize_t n = ::read(fd_, buffer.data() + count, kReadSize - count);
      if (n > 0) {
        const auto arrived = buffer.subspan(count, static_cast<std::size_t>(n));
        count += arrived.size();
        // The tracker takes every byte, the last one that fills the
        // buffer too, so that it can tell a reply of the longest size.
        if (end.reply != nullptr) {
          end.reply->take(arrived);
          if (end.reply->ended()) return {QUILLON_OK, count};
        }
        if (count == kReadSize) return {QUILLON_OK, count};
        pauseDeadline = Clock::now() + milliseconds(kInterByteTimeoutMs);
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return result(
          QUILLON_ERR_NO_REPLY);  // EIO or end of file: the line is gone
    }
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
      return result(QUILLON_ERR_NO_REPLY);  // hung up with nothing left to read
    if (lastLook) return result(nothingInTime);  // bytes: the pause ended it
  }
}

}  // namespace quillon
