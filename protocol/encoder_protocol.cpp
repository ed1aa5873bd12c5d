#include "encoder_protocol.h"

#include <algorithm>

namespace protocol {

namespace {

void append(Bytes& out, ByteView bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void appendText(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// Index of the first `value` in reply[from, to), or `to` when absent.
std::size_t findIn(ByteView reply, std::size_t from, std::size_t to,
                   Byte value) {
  if (from >= to) return to;
  const auto begin = reply.begin() + static_cast<std::ptrdiff_t>(from);
  const auto end = reply.begin() + static_cast<std::ptrdiff_t>(to);
  return static_cast<std::size_t>(std::find(begin, end, value) - reply.begin());
}

// The selection each erase code clears (bit 0 track 1), by code.
constexpr std::array<int, 8> kEraseSelections = {0,     0b001, 0b010, 0b100,
                                                 0b011, 0b101, 0b110, 0b111};

// [from, to) as a segment; empty (and never past `to`) when they cross.
Segment between(std::size_t from, std::size_t to) {
  return from < to ? Segment{from, to - from} : Segment{to, 0};
}

}  // namespace

std::optional<Bytes> readCommand(int selection) {
  switch (selection) {
    case 1: return Bytes{kEsc, 'B', 'M', kEsc, 'j'};
    case 2: return Bytes{kEsc, ']', kEsc, 'j'};
    case 3: return Bytes{kEsc, 'B', 'T', kEsc, 'j'};
    case 4: return Bytes{kEsc, 'T', ']', kEsc, 'j'};
    case 6: return Bytes{kEsc, 'B', ']', kEsc, 'j'};
    case 7: return Bytes{kEsc, 'B', 't', kEsc, 'j'};
    default: return std::nullopt;
  }
}

Bytes trackBlock(int selection, std::string_view track1,
                 std::string_view track2, std::string_view track3) {
  Bytes block;
  block.reserve(track1.size() + track2.size() + track3.size() + 2);
  if (selectionHasTrack(selection, 2)) appendText(block, track2);
  if (selectionHasTrack(selection, 3)) {
    block.push_back(kTrack3Separator);
    appendText(block, track3);
  }
  if (selectionHasTrack(selection, 1)) {
    block.push_back(kTrack1Separator);
    appendText(block, track1);
  }
  return block;
}

Byte eraseCodeOf(int selection) {
  for (std::size_t code = 1; code < kEraseSelections.size(); ++code) {
    if (kEraseSelections[code] == selection) return static_cast<Byte>(code);
  }
  return 0;
}

int selectionOfEraseCode(Byte code) {
  return code < kEraseSelections.size() ? kEraseSelections[code] : 0;
}

Bytes writeFrame(int selection, std::string_view track1,
                 std::string_view track2, std::string_view track3) {
  Bytes frame;
  if (!isValidSelection(selection)) {
    append(frame, kStatusRequestFrame);
    return frame;
  }
  const Bytes block = trackBlock(selection, track1, track2, track3);
  frame.reserve(2 + block.size() + kWriteBlockEnd.size() +
                kStatusRequestFrame.size());
  frame.push_back(kEsc);
  frame.push_back('t');
  append(frame, block);
  append(frame, kWriteBlockEnd);
  append(frame, kStatusRequestFrame);
  return frame;
}

std::array<Byte, 3> eraseFrame(Byte eraseTrackCode) {
  return {kEsc, 'c', eraseTrackCode};
}

std::array<Byte, 2> coercivityFrame(int mode) {
  switch (mode) {
    case 0: return kLowCoercivityFrame;
    case 1: return kHighCoercivityFrame;
    default: return {kEsc, 0x00};
  }
}

std::optional<Byte> statusByte(ByteView reply) {
  const std::size_t r = findIn(reply, 0, reply.size(), kStatusMarker);
  if (r + 1 >= reply.size()) return std::nullopt;
  return reply[r + 1];
}

ReplyStatus classifyStatus(std::optional<Byte> status) {
  if (status == kStatusSuccess) return ReplyStatus::Success;
  if (status == kStatusFailure) return ReplyStatus::Failure;
  return ReplyStatus::Invalid;
}

ReadReply splitReadReply(int selection, ByteView reply) {
  ReadReply result;
  const std::size_t n = reply.size();
  result.succeeded = n > 0 && reply[n - 1] == kStatusSuccess;

  constexpr std::size_t kBlockStart = kReadReplyHeader.size();
  // The block ends at the first '?'; a '?' inside the header still ends
  // it, which leaves every track empty rather than reaching backwards.
  const std::size_t end = findIn(reply, 0, n, kBlockEnd);

  switch (selection) {
    case 1: result.track1 = between(kBlockStart + 1, end); break;
    case 2: result.track2 = between(kBlockStart, end); break;
    case 4: result.track3 = between(kBlockStart + 1, end); break;
    case 3: {
      const std::size_t b = findIn(reply, kBlockStart, end, kTrack1Separator);
      result.track2 = between(kBlockStart, b);
      result.track1 = between(b + 1, end);
      break;
    }
    case 6: {
      const std::size_t a = findIn(reply, kBlockStart, end, kTrack3Separator);
      result.track2 = between(kBlockStart, a);
      result.track3 = between(a + 1, end);
      break;
    }
    case 7: {
      const std::size_t a = findIn(reply, kBlockStart, end, kTrack3Separator);
      const std::size_t b = findIn(reply, a + 1, end, kTrack1Separator);
      result.track2 = between(kBlockStart, a);
      result.track3 = between(a + 1, b);
      result.track1 = between(b + 1, end);
      break;
    }
    default: break;
  }
  return result;
}

}  // namespace protocol
