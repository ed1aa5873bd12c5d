// The encoder's wire protocol: command frames, the track block and the
// replies. Pure functions over byte strings; nothing here touches a port.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace protocol {

using Byte = std::uint8_t;
using Bytes = std::vector<Byte>;
using ByteView = std::span<const Byte>;

inline constexpr Byte kEsc = 0x1B;
inline constexpr Byte kFs = 0x1C;
inline constexpr Byte kGs = 0x1D;
inline constexpr Byte kTrack3Separator = 'A';
inline constexpr Byte kTrack1Separator = 'B';
inline constexpr Byte kBlockEnd = '?';
inline constexpr Byte kStatusMarker = 'r';
inline constexpr Byte kStatusSuccess = 'p';
inline constexpr Byte kStatusFailure = 'q';

/// Largest reply the encoder sends, in bytes.
inline constexpr std::size_t kMaxReplySize = 400;
/// Size of the buffer a write frame is built in; the write limits keep
/// every frame well inside it.
inline constexpr std::size_t kMaxFrameSize = 500;
/// Longest texts a write frame accepts for tracks 1, 2 and 3.
inline constexpr std::size_t kWriteLimitTrack1 = 199;
inline constexpr std::size_t kWriteLimitTrack2 = 129;
inline constexpr std::size_t kWriteLimitTrack3 = 149;

// Frames that never change. None of the first six awaits a reply.
inline constexpr std::array<Byte, 2> kResetFrame{kEsc, '0'};
inline constexpr std::array<Byte, 2> kHighCoercivityFrame{kEsc, 'x'};
inline constexpr std::array<Byte, 2> kLowCoercivityFrame{kEsc, 'y'};
inline constexpr std::array<Byte, 2> kDensity210Frame{kEsc, 'H'};
inline constexpr std::array<Byte, 2> kDensity75Frame{kEsc, 'L'};
/// Answered with kCommunicationTestReply.
inline constexpr std::array<Byte, 2> kCommunicationTestFrame{kEsc, 'e'};
inline constexpr std::array<Byte, 2> kCommunicationTestReply{kEsc, 'y'};
/// Answered with a status answer ('r' followed by the status byte).
inline constexpr std::array<Byte, 2> kStatusRequestFrame{kEsc, 'j'};
/// The bytes that close the track block of a write frame, before ESC 'j'.
inline constexpr std::array<Byte, 3> kWriteBlockEnd{kGs, kEsc, '\\'};
/// Header of a read reply, in front of the track block.
inline constexpr std::array<Byte, 2> kReadReplyHeader{kEsc, 's'};

/// Track selection: bit 0 track 1, bit 1 track 2, bit 2 track 3 (1..7).
[[nodiscard]] constexpr bool isValidSelection(int selection) {
  return selection >= 1 && selection <= 7;
}
[[nodiscard]] constexpr bool selectionHasTrack(int selection, int track) {
  return isValidSelection(selection) && track >= 1 && track <= 3 &&
         (selection & (1 << (track - 1))) != 0;
}

/// The track block of a selection, as write frames and read replies carry
/// it: track 2, 'A' and track 3, 'B' and track 1, each track outside the
/// selection left out with the separator in front of it. A text goes in
/// unchanged and an empty one still brings its separator.
[[nodiscard]] Bytes trackBlock(int selection, std::string_view track1,
                               std::string_view track2,
                               std::string_view track3);

/// The erase command numbers track combinations in an order of its own:
/// 1 track 1, 2 track 2, 3 track 3, 4 tracks 1+2, 5 tracks 1+3, 6 tracks
/// 2+3, 7 all. The code of a selection; 0 for none (0 or outside 1..7).
[[nodiscard]] Byte eraseCodeOf(int selection);
/// The selection an erase code clears; 0 for a code that names no track.
[[nodiscard]] int selectionOfEraseCode(Byte code);

/// The read command of a selection, ending in ESC 'j'. Tracks 1 and 3
/// together (5) have no read command, nor has anything outside 1..7.
[[nodiscard]] std::optional<Bytes> readCommand(int selection);

/// ESC 't', the track block of the selection, GS ESC '\', ESC 'j'. A text
/// goes in unchanged and an empty one still brings its separator. For a
/// selection outside 1..7 the frame is the status request alone.
[[nodiscard]] Bytes writeFrame(int selection, std::string_view track1,
                               std::string_view track2,
                               std::string_view track3);

/// ESC 'c' and the erase track code: always three bytes, 0 included.
[[nodiscard]] std::array<Byte, 3> eraseFrame(Byte eraseTrackCode);

/// ESC and the density letter ('H' 210 BPI, 'L' 75 BPI) or any other byte.
[[nodiscard]] constexpr std::array<Byte, 2> densityFrame(Byte letter) {
  return {kEsc, letter};
}

/// ESC 'y' for mode 0 (low), ESC 'x' for mode 1 (high), ESC 0x00 otherwise.
[[nodiscard]] std::array<Byte, 2> coercivityFrame(int mode);

/// The status byte of a status answer: the byte after the first 'r'.
/// Empty when there is no 'r' or the 'r' is the reply's last byte.
[[nodiscard]] std::optional<Byte> statusByte(ByteView reply);

enum class ReplyStatus { Success, Failure, Invalid };
/// 'p' is success, 'q' failure, anything else (or nothing) invalid.
[[nodiscard]] ReplyStatus classifyStatus(std::optional<Byte> status);

/// A run of bytes inside a reply: [offset, offset + length).
struct Segment {
  std::size_t offset = 0;
  std::size_t length = 0;
  friend bool operator==(const Segment&, const Segment&) = default;
};

/// A read reply taken apart. Segments of tracks outside the selection
/// are empty.
struct ReadReply {
  bool succeeded = false;  ///< the last byte is 'p'
  Segment track1;
  Segment track2;
  Segment track3;
};

/// Splits a read reply: the block starts at index 2 (after ESC 's') and
/// ends at the first '?' (or the end of the reply); 'A' then 'B' separate
/// the tracks. A separator that is missing ends the track in front of it
/// at the block's end, so the tracks after it come out empty. No segment
/// ever starts before index 2 or reaches past the reply, however the
/// reply is malformed.
[[nodiscard]] ReadReply splitReadReply(int selection, ByteView reply);

/// The bytes of a segment, as a view into the reply.
[[nodiscard]] inline ByteView segmentBytes(ByteView reply, Segment s) {
  return reply.subspan(s.offset, s.length);
}

}  // namespace protocol
