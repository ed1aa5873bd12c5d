// The shared library exports exactly the ten functions of its interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> definedFunctions(const std::string& library) {
  const std::string command = "nm -D --defined-only '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::set<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    if (type != "T" && type != "W" && type != "i") continue;  // code only
    names.insert(name.substr(0, name.find('@')));  // drop the version
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
  EXPECT_EQ(definedFunctions(QUILLON_LIBRARY_FILE), expected);
}

}  // namespace
