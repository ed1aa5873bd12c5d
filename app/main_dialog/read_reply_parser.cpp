#include "read_reply_parser.h"

#include "encoder_protocol.h"

namespace {

using protocol::kBlockEnd;
using protocol::kEsc;
using protocol::kFs;
using protocol::kStatusFailure;
using protocol::kStatusMarker;
using protocol::kStatusSuccess;
using protocol::kTrack1Separator;
using protocol::kTrack3Separator;

// Bytes that are never track data in any mode.
bool isFraming(unsigned char b) {
  return b == kEsc || b == protocol::kReadReplyHeader[1] || b == kBlockEnd ||
         b == kFs;
}

void append(QByteArray& text, unsigned char b) {
  // A zero byte ended the text it was added to: it adds nothing.
  if (b != 0) text.append(static_cast<char>(b));
}

void track1Only(unsigned char b, ReadParseState& s) {
  if (s.markerByte) s.markerByte = FALSE;
  if (b == kTrack1Separator && ++s.replyCount == 1) s.markerByte = TRUE;
  if (!isFraming(b) && !s.markerByte && !s.replyEnded) append(s.track1, b);
}

void track2Only(unsigned char b, ReadParseState& s) {
  ++s.replyCount;
  const bool status =
      b == kStatusSuccess || b == kStatusFailure || b == kStatusMarker;
  // The first two bytes are the reply's header.
  if (!isFraming(b) && !status && s.replyCount > 2 && !s.replyEnded) {
    append(s.track2, b);
  }
}

void track3Only(unsigned char b, ReadParseState& s) {
  ++s.replyCount;
  // The header and the separator 'A' make three bytes.
  if (!isFraming(b) && b != kStatusMarker && b != kTrack3Separator &&
      s.replyCount > 3 && !s.replyEnded) {
    append(s.track3, b);
  }
}

// The first 'B' (itself no data) opens track 1, which takes every later
// byte up to FS.
void intoTrack1(unsigned char b, ReadParseState& s) {
  if (b == kTrack1Separator && ++s.replyCount == 1) {
    s.inTrack1 = TRUE;
    s.markerByte = TRUE;
  }
  if (!isFraming(b) && s.inTrack1 && !s.markerByte && !s.replyEnded) {
    append(s.track1, b);
  }
}

void tracks1And2(unsigned char b, ReadParseState& s) {
  if (s.inTrack1) s.markerByte = FALSE;
  if (!isFraming(b) && b != kStatusMarker && b != kTrack1Separator &&
      !s.inTrack1 && !s.replyEnded) {
    append(s.track2, b);
  }
  intoTrack1(b, s);
}

void tracks2And3(unsigned char b, ReadParseState& s) {
  const bool data = !isFraming(b) && b != kStatusMarker &&
                    b != kTrack3Separator && !s.replyEnded;
  if (data && !s.inTrack3) append(s.track2, b);
  if (b == kTrack3Separator) s.inTrack3 = TRUE;
  if (data && s.inTrack3) append(s.track3, b);
}

void allTracks(unsigned char b, ReadParseState& s) {
  if (s.inTrack1) s.markerByte = FALSE;
  const bool plain = !isFraming(b) && b != kStatusMarker &&
                     b != kTrack3Separator && !s.replyEnded;
  if (plain && !s.inTrack3 && !s.inTrack1) append(s.track2, b);
  if (b == kTrack3Separator) s.inTrack3 = TRUE;
  if (plain && b != kTrack1Separator && s.inTrack3 && !s.inTrack1)
    append(s.track3, b);
  intoTrack1(b, s);
}

}  // namespace

void parseReadByte(int selection, unsigned char byte, ReadParseState& state) {
  switch (selection) {
    case 1: track1Only(byte, state); break;
    case 2: track2Only(byte, state); break;
    case 3: tracks1And2(byte, state); break;
    case 4: track3Only(byte, state); break;
    case 6: tracks2And3(byte, state); break;
    case 7: allTracks(byte, state); break;
    default: return;  // 0 and 5: no read command, nothing is taken
  }
  if (byte == kFs) state.replyEnded = TRUE;
}
