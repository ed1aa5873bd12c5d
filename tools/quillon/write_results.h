// What write prints on standard output for each card confirmed: a line
// of text ("card 3 written  track2=0003"; "confirmed" for a card found on
// the card passed, not written now) or a JSON line for scripts.
#pragma once

#include <functional>
#include <string>

#include "card_records.h"

namespace quillon::cli {

using batch::CardRecord;

struct ResultFormat {
  std::string format = "text";  ///< text or json
  bool quiet = false;           ///< text only: nothing
  bool verify = false;          ///< cards written were read back
  bool namePort = false;        ///< text: port= (several encoders)
};

/// The line for a confirmed card (its record with its port); `found`: it
/// was read on the card passed. Empty: nothing is printed.
[[nodiscard]] std::function<std::string(const CardRecord&, bool found)>
resultLines(const ResultFormat& format);

}  // namespace quillon::cli
