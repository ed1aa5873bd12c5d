// A resumed batch's cards in doubt go back to the encoders that sent them:
// only the card there can say whether it holds the number.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "card_ledger.h"

namespace quillon::batch {

/// The cards in doubt, each with the encoder (index in `ports`) that sent
/// it; a message naming a card sent at a port not given now.
std::variant<std::vector<std::vector<LedgerCard>>, std::string> placeInDoubt(
    const std::vector<CardInDoubt>& cards,
    const std::vector<std::string>& ports);

}  // namespace quillon::batch
