// Sorting the bytes of a read reply into the three track texts, one byte
// at a time, so a reply may arrive in as many pieces as the line delivers
// it. No widget here: the main dialog keeps the state in its members and
// hands them in.
#pragma once

#include <QByteArray>

#include "win_types.h"

/// The parse state and the texts being built, as references to the
/// members that hold them.
struct ReadParseState {
  BOOL& inTrack1;    ///< passed the separator 'B' in front of track 1
  BOOL& inTrack3;    ///< passed the separator 'A' in front of track 3
  BOOL& replyEnded;  ///< saw FS: no later byte is track data
  BOOL& markerByte;  ///< the byte being parsed is the first 'B'
  int& replyCount;   ///< 'B' bytes seen, or all bytes in one-track modes
  QByteArray& track1;
  QByteArray& track2;
  QByteArray& track3;
};

/// Parses one byte of a read reply for `selection` (bit 0 track 1, bit 1
/// track 2, bit 2 track 3). The first 'A' and, for track 1, the first 'B'
/// separate the tracks; a later 'B' in track 1 is data; everything from
/// FS on is ignored; ESC, 's' and '?' are framing; a zero byte adds
/// nothing. Tracks 1 and 3 together (5) and no track (0) take no byte.
void parseReadByte(int selection, unsigned char byte, ReadParseState& state);
