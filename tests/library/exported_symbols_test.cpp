// The shared library exports exactly the functions of its interface, each
// at its version.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// Every defined dynamic symbol with its version, but the version nodes,
// which nm lists as absolute symbols; data and functions alike, so an exported
// variable or a stray C++ symbol shows up too. Functions carry their name,
// others are marked with their type.
std::set<std::string> definedSymbols(const std::string& library) {
  const std::string command = "nm -D --defined-only '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::set<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    if (type == "A") continue;  // the version node
    // name@@VERSION as name@VERSION
    if (const auto at = name.find("@@"); at != std::string::npos)
      name.erase(at, 1);
    names.insert(type == "T" ? name : type + " " + name);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return names;
}

// The ten functions at the first version node, the device handles at the
// next: a program built against the handles asks for 1.1 and is refused
// by an older library at load time, not at its first call.
TEST(ExportedSymbols, TheTenFunctionsThenTheDeviceHandles) {
  std::set<std::string> expected;
  for (const char* name :
       {"gCloseSerialCom", "gCommunicationWithDevice",
        "gEraseInformationofCard", "gMSRReadCard", "gMSRWriteCard",
        "gMSRWrtOrReadStatus", "gOpenSerialPort", "gReset", "gSetHLCo",
        "gSetTrack2Density"})
    expected.insert(std::string(name) + "@QUILLON_1.0");
  for (const char* name :
       {"quillon_cancel", "quillon_close", "quillon_erase",
        "quillon_last_error", "quillon_open", "quillon_query_status",
        "quillon_read", "quillon_reset", "quillon_result_text",
        "quillon_resume", "quillon_set_coercivity", "quillon_set_reply_end",
        "quillon_set_track2_density", "quillon_test_communication",
        "quillon_write"})
    expected.insert(std::string(name) + "@QUILLON_1.1");
  EXPECT_EQ(definedSymbols(QUILLON_LIBRARY_FILE), expected);
}

}  // namespace
