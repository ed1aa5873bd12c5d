#include "track_block.h"

#include <algorithm>

#include "encoder_protocol.h"

namespace sim {

namespace {

void append(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

std::string text(std::span<const std::uint8_t>::iterator begin,
                 std::span<const std::uint8_t>::iterator end) {
  return std::string(begin, end);
}

// Which tracks each erase code clears, as a selection (bit 0 track 1).
int eraseSelection(std::uint8_t code) {
  switch (code) {
    case 1: return 0b001;
    case 2: return 0b010;
    case 3: return 0b100;
    case 4: return 0b011;
    case 5: return 0b101;
    case 6: return 0b110;
    case 7: return 0b111;
    default: return 0;
  }
}

}  // namespace

Bytes trackBlock(int selection, const Card& card) {
  Bytes block;
  if (protocol::selectionHasTrack(selection, 2)) append(block, card.track2);
  if (protocol::selectionHasTrack(selection, 3)) {
    block.push_back(protocol::kTrack3Separator);
    append(block, card.track3);
  }
  if (protocol::selectionHasTrack(selection, 1)) {
    block.push_back(protocol::kTrack1Separator);
    append(block, card.track1);
  }
  return block;
}

bool selectedTracksEmpty(int selection, const Card& card) {
  const auto emptyOrUnselected = [&](int track, const std::string& t) {
    return !protocol::selectionHasTrack(selection, track) || t.empty();
  };
  return emptyOrUnselected(1, card.track1) &&
         emptyOrUnselected(2, card.track2) && emptyOrUnselected(3, card.track3);
}

WriteBlock splitWriteBlock(std::span<const std::uint8_t> block) {
  WriteBlock out;
  const auto isSeparator = [](std::uint8_t b) {
    return b == protocol::kTrack3Separator || b == protocol::kTrack1Separator;
  };
  const auto first = std::find_if(block.begin(), block.end(), isSeparator);
  out.card.track2 = text(block.begin(), first);
  if (first == block.end() || first != block.begin()) out.selection |= 0b010;
  if (first == block.end()) return out;

  auto track1Separator = first;
  if (*first == protocol::kTrack3Separator) {
    out.selection |= 0b100;
    track1Separator =
        std::find(first + 1, block.end(), protocol::kTrack1Separator);
    out.card.track3 = text(first + 1, track1Separator);
  }
  if (track1Separator != block.end()) {
    out.selection |= 0b001;
    out.card.track1 = text(track1Separator + 1, block.end());
  }
  return out;
}

bool isValidEraseCode(std::uint8_t code) { return eraseSelection(code) != 0; }

Card eraseTracks(Card card, std::uint8_t code) {
  const int tracks = eraseSelection(code);
  if (tracks & 0b001) card.track1.clear();
  if (tracks & 0b010) card.track2.clear();
  if (tracks & 0b100) card.track3.clear();
  return card;
}

}  // namespace sim
