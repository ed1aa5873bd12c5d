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

int EncoderDevice::receive(ReplyBuffer& reply,
                           protocol::ReplyTracker& tracker) {
  protocol::ReplyTracker* const endOn =
      wait_.endOnCompleteReply ? &tracker : nullptr;
  const int count = port_.Read(reply, {wait_.interruptFd, endOn});
  if (count <= 0) return count;
  const auto received = std::span(reply).first(static_cast<std::size_t>(count));
  if (endOn == nullptr) tracker.take(received);  // else it followed the read
  if (wait_.traffic) wait_.traffic(false, received);
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
  protocol::ReplyTracker answer(protocol::ReplyTracker::Kind::LineTest);
  const int count = receive(reply, answer);
  if (count <= 0) return static_cast<Status>(count);
  return answer.whole() ? QUILLON_OK : QUILLON_ERR_DEVICE;
}

Status EncoderDevice::QueryStatus() {
  const int written = send(protocol::kStatusRequestFrame);
  if (written != SerialPort::kWritten) return static_cast<Status>(written);
  ReplyBuffer reply{};
  protocol::ReplyTracker answer(protocol::ReplyTracker::Kind::StatusAnswer);
  const int count = receive(reply, answer);
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
  protocol::ReplyTracker answer(protocol::ReplyTracker::Kind::StatusAnswer);
  const int count = receive(reply, answer);
  if (count == SerialPort::kEscapePressed) {
    send(protocol::kResetFrame);  // stop the encoder waiting
    return QUILLON_ERR_ESCAPE;
  }
  if (count <= 0) return static_cast<Status>(count);
  return statusOfAnswer(
      std::span(reply).first(static_cast<std::size_t>(count)));
}

Status EncoderDevice::readReply(int selection, ReplyBuffer& reply, int& count,
                                protocol::ReadReply& split,
                                protocol::ReplyTracker& tracker) {
  if (!port_.isOpen()) return QUILLON_ERR_NOT_OPEN;
  const auto command = protocol::readCommand(selection);
  if (!command) return QUILLON_ERR_READ_START;  // nothing to send
  if (send(*command) == SerialPort::kWriteFailed) return QUILLON_ERR_WRITE;
  count = receive(reply, tracker);
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
  protocol::ReplyTracker tracker;
  const Status status = readReply(selection, reply, count, split, tracker);
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
  protocol::ReplyTracker tracker;
  const Status status = readReply(selection, reply, count, split, tracker);
  if (status != QUILLON_OK) return status;
  const auto received = std::span<const std::uint8_t>(reply).first(
      static_cast<std::size_t>(count));
  // Only a reply exactly as the encoder frames it is a card: a babbling
  // line's bytes in front of a reply never pass for one.
  if (!tracker.whole()) return QUILLON_ERR_DEVICE;
  const protocol::Segment segments[] = {split.track1, split.track2,
                                        split.track3};
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const auto bytes = protocol::segmentBytes(received, segments[i]);
    tracks[i].assign(bytes.begin(), bytes.end());
  }
  return QUILLON_OK;
}

}  // namespace quillon
