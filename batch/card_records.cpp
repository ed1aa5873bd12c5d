#include "card_records.h"

#include <csv.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "card_text.h"
#include "encoder_protocol.h"

namespace quillon::batch {

namespace {

const char* const kTrackNames[] = {"track1", "track2", "track3"};

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  // Quoted, quotes doubled: at most twice the size plus the two quotes.
  std::string quoted(text.size() * 2 + 2, '\0');
  quoted.resize(
      csv_write(quoted.data(), quoted.size(), text.data(), text.size()));
  return quoted;
}

}  // namespace

std::string isoTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(time);
  const auto millis =
      duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  const std::size_t n =
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return std::string(text, n) + "." + std::to_string(1000 + millis).substr(1) +
         "Z";
}

std::string jsonLine(const CardRecord& record) {
  nlohmann::ordered_json line;
  line["seq"] = record.sequence;
  line["time"] = isoTime(record.time);
  line["status"] = record.ok ? "ok" : "failed";
  if (!record.port.empty()) line["port"] = record.port;
  for (int track = 1; record.ok && track <= 3; ++track) {
    if (!protocol::selectionHasTrack(record.selection, track)) continue;
    line[kTrackNames[track - 1]] =
        latin1ToUtf8(record.tracks[static_cast<std::size_t>(track - 1)]);
  }
  return line.dump(-1, ' ', /*ensure_ascii=*/true);
}

std::string csvHeader(int selection, bool withPort) {
  std::string header = withPort ? "seq,time,status,port" : "seq,time,status";
  for (int track = 1; track <= 3; ++track) {
    if (protocol::selectionHasTrack(selection, track))
      header += std::string(",") + kTrackNames[track - 1];
  }
  return header + "\r\n";
}

std::string csvRow(const CardRecord& record) {
  std::string row = std::to_string(record.sequence) + "," +
                    isoTime(record.time) + "," + (record.ok ? "ok" : "failed");
  if (!record.port.empty()) row += "," + csvField(record.port);
  for (int track = 1; track <= 3; ++track) {
    if (!protocol::selectionHasTrack(record.selection, track)) continue;
    row += "," + csvField(latin1ToUtf8(
                     record.tracks[static_cast<std::size_t>(track - 1)]));
  }
  return row + "\r\n";
}

std::string textLine(const CardRecord& record) {
  std::string line = "card " + std::to_string(record.sequence);
  if (!record.port.empty()) line += "  port=" + escapedForDisplay(record.port);
  if (!record.ok) return line + "  read failed\n";
  for (int track = 1; track <= 3; ++track) {
    if (!protocol::selectionHasTrack(record.selection, track)) continue;
    line +=
        std::string("  ") + kTrackNames[track - 1] + "=" +
        escapedForDisplay(record.tracks[static_cast<std::size_t>(track - 1)]);
  }
  return line + "\n";
}

}  // namespace quillon::batch
