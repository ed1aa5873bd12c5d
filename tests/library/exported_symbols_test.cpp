// The shared library exports exactly the ten functions of its interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// Every defined dynamic symbol but the version node, which nm lists as an
// absolute symbol; data and functions alike, so an exported variable or a
// stray C++ symbol shows up too. Functions carry their name, others are
// marked with their type.
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
    const std::string plain = name.substr(0, name.find('@'));
    names.insert(type == "T" ? plain : type + " " + plain);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return names;
}

TEST(ExportedSymbols, ExactlyTheTenFunctions) {
  const std::set<std::string> expected{"gCloseSerialCom",
                                       "gCommunicationWithDevice",
                                       "gEraseInformationofCard",
                                       "gMSRReadCard",
                                       "gMSRWriteCard",
                                       "gMSRWrtOrReadStatus",
                                       "gOpenSerialPort",
                                       "gReset",
                                       "gSetHLCo",
                                       "gSetTrack2Density"};
  EXPECT_EQ(definedSymbols(QUILLON_LIBRARY_FILE), expected);
}

}  // namespace
