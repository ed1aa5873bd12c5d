#include "write_results.h"

#include <nlohmann/json.hpp>

#include "card_text.h"
#include "encoder_protocol.h"

namespace quillon::cli {

using namespace quillon::batch;  // card records and texts

namespace {

// {"card":3,"time":"...","port":"...","confirmed_by":"read-back",
// "track2":"..."}: confirmed by the encoder's answer to the write, by
// reading it back (--verify), or by reading the card passed (it was
// written before and not written again).
std::string jsonResult(const CardRecord& record, bool found, bool verify) {
  nlohmann::ordered_json line;
  line["card"] = record.sequence;
  line["time"] = isoTime(record.time);
  line["port"] = record.port;
  line["confirmed_by"] = found ? "reading" : verify ? "read-back" : "answer";
  for (int track = 1; track <= 3; ++track) {
    if (!protocol::selectionHasTrack(record.selection, track)) continue;
    line["track" + std::to_string(track)] =
        latin1ToUtf8(record.tracks[static_cast<std::size_t>(track - 1)]);
  }
  return line.dump(-1, ' ', /*ensure_ascii=*/true) + "\n";
}

}  // namespace

std::function<std::string(const CardRecord&, bool)> resultLines(
    const ResultFormat& format) {
  if (format.format == "json") {
    return [verify = format.verify](const CardRecord& record, bool found) {
      return jsonResult(record, found, verify);
    };
  }
  if (format.quiet) return {};
  return [namePort = format.namePort](CardRecord record, bool found) {
    if (!namePort) record.port.clear();
    std::string line = textLine(record);  // "card 3  track2=..."
    return line.insert(line.find("  "), found ? " confirmed" : " written");
  };
}

}  // namespace quillon::cli
