#include "frame_faults.h"

#include <charconv>
#include <map>
#include <sstream>

namespace sim {

namespace {

using Kind = FrameFault::Kind;

struct Shape {
  Kind kind;
  int numbers;  // after the kind's word: count and/or ms
};

const std::map<std::string, Shape, std::less<>> kShapes = {
    {"cut", {Kind::Cut, 2}},
    {"late", {Kind::Late, 1}},
    {"twice", {Kind::Twice, 1}},
    {"noise", {Kind::Noise, 1}},
    {"hangup", {Kind::Hangup, 0}}};

template <typename T>
bool number(const std::string& word, T& value) {
  const char* end = word.data() + word.size();
  const auto [ptr, ec] = std::from_chars(word.data(), end, value);
  return ec == std::errc() && ptr == end && value >= 0;
}

}  // namespace

std::variant<std::vector<FrameFault>, std::string> parseFrameFaults(
    std::string_view text) {
  std::vector<FrameFault> faults;
  std::istringstream lines{std::string(text)};
  std::string line;
  for (int lineNumber = 1; std::getline(lines, line); ++lineNumber) {
    line = line.substr(0, line.find('#'));
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) continue;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    FrameFault fault;
    if (!number(words[0], fault.frame) || fault.frame == 0)
      return where + "not a frame number: " + words[0];
    const auto shape =
        words.size() > 1 ? kShapes.find(words[1]) : kShapes.end();
    if (shape == kShapes.end())
      return where + "no fault named " + (words.size() > 1 ? words[1] : "");
    fault.kind = shape->second.kind;
    if (static_cast<int>(words.size()) != 2 + shape->second.numbers)
      return where + words[1] + " takes " +
             std::to_string(shape->second.numbers) + " numbers";
    std::vector<int> values;
    for (std::size_t i = 2; i < words.size(); ++i) {
      int value = 0;
      if (!number(words[i], value)) return where + "not a number: " + words[i];
      values.push_back(value);
    }
    if (fault.kind == Kind::Cut || fault.kind == Kind::Noise)
      fault.count = values[0];
    if (fault.kind == Kind::Cut) fault.ms = values[1];
    if (fault.kind == Kind::Late || fault.kind == Kind::Twice)
      fault.ms = values[0];
    faults.push_back(fault);
  }
  return faults;
}

std::vector<std::uint8_t> noiseBytes(std::size_t frame, int count) {
  std::vector<std::uint8_t> bytes;
  std::uint32_t state = static_cast<std::uint32_t>(frame) * 2654435761u + 1;
  for (int i = 0; i < count; ++i) {
    state = state * 1664525u + 1013904223u;  // a plain LCG is noise enough
    bytes.push_back(static_cast<std::uint8_t>(state >> 24));
  }
  return bytes;
}

}  // namespace sim
