#include "quillon/core/encoder_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "encoder_protocol.h"

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

Status EncoderDevice::Open(const std::string& path, int baudRate) {
  if (baudRate <= 0) {  // refused, but an open port still closes first
    port_.Close();
    return QUILLON_ERR_NOT_OPEN;
  }
  return port_.Open(path, static_cast<std::uint32_t>(baudRate))
             ? QUILLON_OK
             : QUILLON_ERR_NOT_OPEN;
}

Status EncoderDevice::Close() {
  port_.Close();
  return QUILLON_OK;
}

Status EncoderDevice::send(std::span<const std::uint8_t> frame) {
  const Status written = port_.Write(frame);
  if (written == QUILLON_OK && wait_.traffic) wait_.traffic(true, frame);
  return written;
}

EncoderDevice::Reply EncoderDevice::receive(ReplyBuffer& buffer,
                                            protocol::ReplyTracker::Kind kind,
                                            bool mustStandAlone) {
  Reply reply{QUILLON_ERR_NO_REPLY, {}, protocol::ReplyTracker(kind)};
  protocol::ReplyTracker* const endOn =
      wait_.endOnCompleteReply ? &reply.tracker : nullptr;
  const SerialPort::Received got =
      port_.Read(buffer, {wait_.interruptFd, endOn, wait_.limit});
  reply.status = got.status;
  if (got.status != QUILLON_OK) return reply;
  reply.bytes = std::span(buffer).first(got.count);
  if (endOn == nullptr) reply.tracker.take(reply.bytes);  // else it followed
  if (wait_.traffic) wait_.traffic(false, reply.bytes);
  // Ended at its last byte, a reply has not had the pause that would show
  // bytes behind it: nothing may have come with it, and a few bytes' time
  // of silence must follow, or it is no answer standing alone (a line that
  // repeats or garbles replies).
  if (mustStandAlone && endOn != nullptr && reply.tracker.whole() &&
      (reply.tracker.size() < reply.bytes.size() ||
       port_.Heard(trailingQuiet())))
    reply.tracker = protocol::ReplyTracker(kind);  // whole no more
  return reply;
}

std::chrono::microseconds EncoderDevice::trailingQuiet() const {
  // Two bytes at the line's rate (10 bits a byte): a reply repeated right
  // behind itself has begun by then.
  const auto baud = std::max<std::uint32_t>(port_.baudRate(), 1);
  return std::chrono::microseconds(2 * 10 * 1000000ULL / baud + 1);
}

Status EncoderDevice::Reset() { return send(protocol::kResetFrame); }

bool EncoderDevice::LateInput(std::chrono::milliseconds quiet) {
  return port_.Heard(quiet);
}

Status EncoderDevice::SetCoercivity(int mode) {
  return send(protocol::coercivityFrame(mode));
}

Status EncoderDevice::SetTrack2Density(int letter) {
  return send(protocol::densityFrame(static_cast<protocol::Byte>(letter)));
}

Status EncoderDevice::EraseCard(int code) {
  return send(protocol::eraseFrame(static_cast<protocol::Byte>(code)));
}

Status EncoderDevice::statusOfAnswer(std::span<const std::uint8_t> reply) {
  switch (protocol::classifyStatus(protocol::statusByte(reply))) {
    case protocol::ReplyStatus::Success: return QUILLON_OK;
    case protocol::ReplyStatus::Failure: return QUILLON_ERR_DEVICE;
    case protocol::ReplyStatus::Invalid: break;
  }
  return QUILLON_ERR_NO_STATUS;
}

Status EncoderDevice::statusOfReply(const protocol::ReplyTracker& tracker) {
  switch (tracker.status()) {
    case protocol::ReplyStatus::Success: return QUILLON_OK;
    case protocol::ReplyStatus::Failure: return QUILLON_ERR_DEVICE;
    case protocol::ReplyStatus::Invalid: break;
  }
  return QUILLON_ERR_NO_STATUS;
}

Status EncoderDevice::TestCommunication() {
  if (send(protocol::kCommunicationTestFrame) == QUILLON_ERR_WRITE)
    return QUILLON_ERR_WRITE;
  ReplyBuffer buffer{};
  const Reply reply = receive(buffer, protocol::ReplyTracker::Kind::LineTest);
  if (reply.status != QUILLON_OK) return reply.status;
  return reply.tracker.whole() ? QUILLON_OK : QUILLON_ERR_DEVICE;
}

Status EncoderDevice::QueryStatus(bool* alone) {
  if (const Status written = send(protocol::kStatusRequestFrame);
      written != QUILLON_OK)
    return written;
  ReplyBuffer buffer{};
  const Reply reply = receive(
      buffer, protocol::ReplyTracker::Kind::StatusAnswer, alone != nullptr);
  if (alone != nullptr) *alone = reply.tracker.whole();
  if (reply.status != QUILLON_OK) return reply.status;
  return statusOfAnswer(reply.bytes);
}

Status EncoderDevice::WriteCard(int selection, const char* track1,
                                const char* track2, const char* track3) {
  if (!port_.isOpen()) return QUILLON_ERR_NOT_OPEN;
  const auto t1 = boundedText(track1, protocol::kWriteLimitTrack1);
  const auto t2 = boundedText(track2, protocol::kWriteLimitTrack2);
  const auto t3 = boundedText(track3, protocol::kWriteLimitTrack3);
  if (!t1 || !t2 || !t3) return QUILLON_ERR_WRITE;  // nothing sent

  const protocol::Bytes frame = protocol::writeFrame(selection, *t1, *t2, *t3);
  if (send(frame) == QUILLON_ERR_WRITE) return QUILLON_ERR_WRITE;
  ReplyBuffer buffer{};
  const Reply reply =
      receive(buffer, protocol::ReplyTracker::Kind::StatusAnswer, true);
  if (reply.status == QUILLON_ERR_ESCAPE) {
    send(protocol::kResetFrame);  // stop the encoder waiting
    return QUILLON_ERR_ESCAPE;
  }
  if (reply.status != QUILLON_OK) return reply.status;
  // Bytes that are not one whole answer (cut by a pause or the time
  // limit, the tail of an earlier reply) say nothing of the card.
  return statusOfReply(reply.tracker);
}

EncoderDevice::Reply EncoderDevice::readReply(int selection,
                                              ReplyBuffer& buffer,
                                              protocol::ReadReply& split) {
  Reply failed{QUILLON_ERR_NOT_OPEN, {}, protocol::ReplyTracker()};
  if (!port_.isOpen()) return failed;
  const auto command = protocol::readCommand(selection);
  failed.status = QUILLON_ERR_READ_START;  // nothing to send
  if (!command) return failed;
  failed.status = QUILLON_ERR_WRITE;
  if (send(*command) == QUILLON_ERR_WRITE) return failed;
  Reply reply = receive(buffer, protocol::ReplyTracker::Kind::ReadReply, true);
  if (reply.status == QUILLON_ERR_ESCAPE) send(protocol::kResetFrame);
  if (reply.status != QUILLON_OK) return reply;
  split = protocol::splitReadReply(selection, reply.bytes);
  if (!split.succeeded) reply.status = QUILLON_ERR_DEVICE;
  return reply;
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
  ReplyBuffer buffer{};
  protocol::ReadReply split;
  const Reply reply = readReply(selection, buffer, split);
  if (reply.status != QUILLON_OK) return reply.status;  // buffers untouched
  // The tracker decides for every reader whether a reply is a card: a byte
  // in front of the header, or no FS, is a failed read here as well.
  if (!reply.tracker.whole()) return QUILLON_ERR_DEVICE;

  if (track1 != nullptr && protocol::selectionHasTrack(selection, 1))
    copySegment(reply.bytes, split.track1, track1);
  if (track2 != nullptr && protocol::selectionHasTrack(selection, 2))
    copySegment(reply.bytes, split.track2, track2);
  if (track3 != nullptr && protocol::selectionHasTrack(selection, 3))
    copySegment(reply.bytes, split.track3, track3);
  return QUILLON_OK;
}

Status EncoderDevice::ReadTracks(int selection,
                                 std::array<std::string, 3>& tracks) {
  for (auto& track : tracks) track.clear();
  ReplyBuffer buffer{};
  protocol::ReadReply split;
  const Reply reply = readReply(selection, buffer, split);
  // DEVICE here is any reply not ending in 'p': the tracker tells the
  // encoder's 'q' from bytes that say nothing.
  if (reply.status != QUILLON_OK && reply.status != QUILLON_ERR_DEVICE)
    return reply.status;
  // Only a reply exactly as the encoder frames it is a card: a babbling
  // line's bytes in front of a reply never pass for one.
  if (const Status said = statusOfReply(reply.tracker); said != QUILLON_OK)
    return said;
  const protocol::Segment segments[] = {split.track1, split.track2,
                                        split.track3};
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const auto bytes = protocol::segmentBytes(reply.bytes, segments[i]);
    tracks[i].assign(bytes.begin(), bytes.end());
  }
  return QUILLON_OK;
}

}  // namespace quillon
