#include "encoder_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "encoder_protocol.h"
#include "quillon.h"

namespace quillon {

namespace {

// The first `limit + 1` characters of a text at most: enough to tell an
// over-long text without running through a huge one.
std::optional<std::string_view> boundedText(const char* text,
                                            std::size_t limit) {
  if (text == nullptr) return std::nullopt;
  const std::size_t length = strnlen(text, limit + 1);
  if (length > limit) return std::nullopt;
  return std::string_view(text, length);
}

// A read reply as the encoder sends it, byte for byte in its frame: the
// header first, the block's '?' followed by FS and the status answer as
// its last bytes. Anything else, such as a babbling line's bytes in front
// of a reply, is not a card.
bool wholeReadReply(std::span<const std::uint8_t> reply) {
  constexpr std::size_t kTail = 5;  // '?' FS ESC 'r' status
  const auto& header = protocol::kReadReplyHeader;
  const std::size_t n = reply.size();
  if (n < header.size() + kTail ||
      !std::equal(header.begin(), header.end(), reply.begin()))
    return false;
  const auto blockEnd = std::find(reply.begin() + header.size(), reply.end(),
                                  protocol::kBlockEnd);
  return blockEnd == reply.end() - kTail && reply[n - 4] == protocol::kFs &&
         reply[n - 3] == protocol::kEsc &&
         reply[n - 2] == protocol::kStatusMarker;
}

void copySegment(std::span<const std::uint8_t> reply, protocol::Segment s,
                 char* destination) {
  const auto bytes = protocol::segmentBytes(reply, s);
  if (!bytes.empty()) std::memcpy(destination, bytes.data(), bytes.size());
}

}  // namespace

EncoderDevice::EncoderDevice(KeyboardProbe& probe) : port_(probe) {}

EncoderDevice::~EncoderDevice() = default;

Status EncoderDevice::Open(int portNumber, int baudRate) {
  if (baudRate <= 0) {  // refused, but an open port still closes first
    port_.Close();
    return QUILLON_ERR_NOT_OPEN;
  }
  return port_.Open(portNumber, static_cast<std::uint32_t>(baudRate))
             ? QUILLON_OK
             : QUILLON_ERR_NOT_OPEN;
}

Status EncoderDevice::Close() {
  port_.Close();
  return QUILLON_OK;
}

int EncoderDevice::send(std::span<const std::uint8_t> frame) {
  const int written = port_.Write(frame);
  if (written == SerialPort::kWritten && wait_.traffic)
    wait_.traffic(true, frame);
  return written;
}

int EncoderDevice::receive(ReplyBuffer& reply, ReplyEnd complete) {
  const SerialPort::ReadEnd end{wait_.interruptFd,
                                wait_.endOnCompleteReply ? complete : nullptr};
  const int count = port_.Read(reply, end);
  if (count > 0 && wait_.traffic)
    wait_.traffic(false,
                  std::span(reply).first(static_cast<std::size_t>(count)));
  return count;
}

Status EncoderDevice::sendWithoutReply(std::span<const std::uint8_t> frame) {
  const int written = send(frame);
  return written == SerialPort::kWritten ? Status{QUILLON_OK}
                                         : static_cast<Status>(written);
}

Status EncoderDevice::Reset() {
  return sendWithoutReply(protocol::kResetFrame);
}

Status EncoderDevice::SetCoercivity(int mode) {
  return sendWithoutReply(protocol::coercivityFrame(mode));
}

Status EncoderDevice::SetTrack2Density(int letter) {
  return sendWithoutReply(
      protocol::densityFrame(static_cast<protocol::Byte>(letter)));
}

Status EncoderDevice::EraseCard(int code) {
  return sendWithoutReply(
      protocol::eraseFrame(static_cast<protocol::Byte>(code)));
}

Status EncoderDevice::statusOfAnswer(std::span<const std::uint8_t> reply) {
  switch (protocol::classifyStatus(protocol::statusByte(reply))) {
    case protocol::ReplyStatus::Success: return QUILLON_OK;
    case protocol::ReplyStatus::Failure: return QUILLON_ERR_DEVICE;
    case protocol::ReplyStatus::Invalid: break;
  }
  return QUILLON_ERR_NO_STATUS;
}

Status EncoderDevice::TestCommunication() {
  if (send(protocol::kCommunicationTestFrame) == SerialPort::kWriteFailed)
    return QUILLON_ERR_WRITE;
  ReplyBuffer reply{};
  const int count = receive(reply, protocol::communicationTestReplyComplete);
  if (count <= 0) return static_cast<Status>(count);
  const bool answered = count >= 2 &&
                        reply[0] == protocol::kCommunicationTestReply[0] &&
                        reply[1] == protocol::kCommunicationTestReply[1];
  return answered ? QUILLON_OK : QUILLON_ERR_DEVICE;
}

Status EncoderDevice::QueryStatus() {
  const int written = send(protocol::kStatusRequestFrame);
  if (written != SerialPort::kWritten) return static_cast<Status>(written);
  ReplyBuffer reply{};
  const int count = receive(reply, protocol::statusAnswerComplete);
  if (count <= 0) return static_cast<Status>(count);
  return statusOfAnswer(
      std::span(reply).first(static_cast<std::size_t>(count)));
}

Status EncoderDevice::WriteCard(int selection, const char* track1,
                                const char* track2, const char* track3) {
  if (!port_.isOpen()) return QUILLON_ERR_NOT_OPEN;
  const auto t1 = boundedText(track1, protocol::kWriteLimitTrack1);
  const auto t2 = boundedText(track2, protocol::kWriteLimitTrack2);
  const auto t3 = boundedText(track3, protocol::kWriteLimitTrack3);
  if (!t1 || !t2 || !t3) return QUILLON_ERR_WRITE;  // nothing sent

  const protocol::Bytes frame = protocol::writeFrame(selection, *t1, *t2, *t3);
  if (send(frame) == SerialPort::kWriteFailed) return QUILLON_ERR_WRITE;
  ReplyBuffer reply{};
  const int count = receive(reply, protocol::statusAnswerComplete);
  if (count == SerialPort::kEscapePressed) {
    send(protocol::kResetFrame);  // stop the encoder waiting
    return QUILLON_ERR_ESCAPE;
  }
  if (count <= 0) return static_cast<Status>(count);
  return statusOfAnswer(
      std::span(reply).first(static_cast<std::size_t>(count)));
}

Status EncoderDevice::readReply(int selection, ReplyBuffer& reply, int& count,
                                protocol::ReadReply& split) {
  if (!port_.isOpen()) return QUILLON_ERR_NOT_OPEN;
  const auto command = protocol::readCommand(selection);
  if (!command) return QUILLON_ERR_READ_START;  // nothing to send
  if (send(*command) == SerialPort::kWriteFailed) return QUILLON_ERR_WRITE;
  count = receive(reply, protocol::readReplyComplete);
  if (count == SerialPort::kEscapePressed) {
    send(protocol::kResetFrame);
    return QUILLON_ERR_ESCAPE;
  }
  if (count <= 0) return static_cast<Status>(count);
  split = protocol::splitReadReply(
      selection, std::span(reply).first(static_cast<std::size_t>(count)));
  return split.succeeded ? QUILLON_OK : QUILLON_ERR_DEVICE;
}

Status EncoderDevice::ReadCard(int selection, char* track1, char* track2,
                               char* track3) {
  if (!port_.isOpen()) return QUILLON_ERR_NOT_OPEN;
  char* const buffers[] = {track1, track2, track3};
  for (int track = 1; track <= 3; ++track) {
    if (protocol::selectionHasTrack(selection, track) &&
        buffers[track - 1] == nullptr)
      return QUILLON_ERR_READ_START;
  }
  ReplyBuffer reply{};
  int count = 0;
  protocol::ReadReply split;
  const Status status = readReply(selection, reply, count, split);
  if (status != QUILLON_OK) return status;  // buffers untouched

  const auto received = std::span<const std::uint8_t>(reply).first(
      static_cast<std::size_t>(count));
  if (track1 != nullptr && protocol::selectionHasTrack(selection, 1))
    copySegment(received, split.track1, track1);
  if (track2 != nullptr && protocol::selectionHasTrack(selection, 2))
    copySegment(received, split.track2, track2);
  if (track3 != nullptr && protocol::selectionHasTrack(selection, 3))
    copySegment(received, split.track3, track3);
  return QUILLON_OK;
}

Status EncoderDevice::ReadTracks(int selection,
                                 std::array<std::string, 3>& tracks) {
  for (auto& track : tracks) track.clear();
  ReplyBuffer reply{};
  int count = 0;
  protocol::ReadReply split;
  const Status status = readReply(selection, reply, count, split);
  if (status != QUILLON_OK) return status;
  const auto received = std::span<const std::uint8_t>(reply).first(
      static_cast<std::size_t>(count));
  if (!wholeReadReply(received)) return QUILLON_ERR_DEVICE;
  const protocol::Segment segments[] = {split.track1, split.track2,
                                        split.track3};
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const auto bytes = protocol::segmentBytes(received, segments[i]);
    tracks[i].assign(bytes.begin(), bytes.end());
  }
  return QUILLON_OK;
}

}  // namespace quillon
