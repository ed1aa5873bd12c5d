#include "doubt_placement.h"

#include <algorithm>

#include "port_access.h"

namespace quillon::batch {

std::variant<std::vector<std::vector<LedgerCard>>, std::string> placeInDoubt(
    const std::vector<CardInDoubt>& cards,
    const std::vector<std::string>& ports) {
  std::vector<std::vector<LedgerCard>> byEncoder(ports.size());
  for (const CardInDoubt& doubt : cards) {
    const auto at = std::ranges::find_if(ports, [&](const std::string& port) {
      return samePort(port, doubt.port);
    });
    if (at == ports.end()) {
      return "card " + std::to_string(doubt.card.number) +
             " may have been written at " + doubt.port +
             ", which is not among the encoders given: it is settled only "
             "there (add --port " +
             doubt.port +
             "; a device that comes back under another name keeps its "
             "/dev/serial/by-id/ name); nothing was sent";
    }
    byEncoder[static_cast<std::size_t>(at - ports.begin())].push_back(
        doubt.card);
  }
  return byEncoder;
}

}  // namespace quillon::batch
