// The track block in both directions: built for read replies, taken apart
// from write frames.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "simulated_encoder.h"

namespace sim {

/// The card's block for a read reply (protocol::trackBlock).
[[nodiscard]] Bytes trackBlock(int selection, const Card& card);

/// True when every track of the selection is empty: the card reads as
/// blank.
[[nodiscard]] bool selectedTracksEmpty(int selection, const Card& card);

struct WriteBlock {
  int selection = 0;
  Card card;  ///< the selected tracks' texts, the others empty
};

/// A write frame does not name its selection, so it is inferred from the
/// separators: the text in front of the first 'A' or 'B' is track 2, which
/// counts as selected when it is non-empty or when the block has no
/// separator at all (an empty block writes an empty track 2). An 'A' starts
/// track 3, which runs to the first 'B' after it; the 'B' that ends
/// track 3, or the first separator when it is a 'B', starts track 1, which
/// runs to the end and may hold 'A' and 'B'. Writing an empty track 2
/// together with other tracks therefore reads back as a selection without
/// track 2.
[[nodiscard]] WriteBlock splitWriteBlock(std::span<const std::uint8_t> block);

/// Whether an erase code names tracks (protocol::selectionOfEraseCode).
[[nodiscard]] bool isValidEraseCode(std::uint8_t code);
/// The card with the tracks of the erase code emptied.
[[nodiscard]] Card eraseTracks(Card card, std::uint8_t code);

}  // namespace sim
