#include "track_block.h"

#include <algorithm>

#include "encoder_protocol.h"

namespace sim {

namespace {

std::string text(std::span<const std::uint8_t>::iterator begin,
                 std::span<const std::uint8_t>::iterator end) {
  return std::string(begin, end);
}

}  // namespace

Bytes trackBlock(int selection, const Card& card) {
  return protocol::trackBlock(selection, card.track1, card.track2, card.track3);
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

bool isValidEraseCode(std::uint8_t code) {
  return protocol::selectionOfEraseCode(code) != 0;
}

Card eraseTracks(Card card, std::uint8_t code) {
  const int tracks = protocol::selectionOfEraseCode(code);
  if (tracks & 0b001) card.track1.clear();
  if (tracks & 0b010) card.track2.clear();
  if (tracks & 0b100) card.track3.clear();
  return card;
}

}  // namespace sim
