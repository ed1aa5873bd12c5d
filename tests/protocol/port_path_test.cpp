#include <gtest/gtest.h>
#include <stdlib.h>

#include "com_port_path.h"

namespace {

TEST(PortPath, DefaultsToTtySNumberedFromZero) {
  EXPECT_EQ(portmap::resolvePortPath(1, nullptr), "/dev/ttyS0");
  EXPECT_EQ(portmap::resolvePortPath(12, nullptr), "/dev/ttyS11");
  EXPECT_EQ(portmap::resolvePortPath(255, nullptr), "/dev/ttyS254");
}

TEST(PortPath, OverrideWinsUnlessEmpty) {
  EXPECT_EQ(portmap::resolvePortPath(1, "/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(portmap::resolvePortPath(1, ""), "/dev/ttyS0");
}

// Only an absolute override names a device; a relative one is refused
// with a message that names the variable.
TEST(PortPath, RelativeOverrideIsRefusedByName) {
  struct Row {
    const char* value;
    bool refused;
  };
  for (const Row& row : {Row{"enc", true}, Row{"./enc", true},
                         Row{"dev/ttyUSB0", true}, Row{"~/tty", true},
                         Row{"/dev/ttyUSB0", false}, Row{"/tmp/enc", false}}) {
    const portmap::Resolution r = portmap::resolvePort(4, row.value);
    EXPECT_EQ(!r.path.has_value(), row.refused) << row.value;
    if (!row.refused) {
      EXPECT_EQ(*r.path, row.value);
      continue;
    }
    EXPECT_EQ(r.refusal, portmap::Refusal::kRelativeOverride) << row.value;
    EXPECT_NE(r.message.find("ENCODER_COM4"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("absolute path"), std::string::npos) << r.message;
  }
}

TEST(PortPath, NumbersOutsideRangeNameNoDevice) {
  for (int n : {0, -1, 256, 1000})
    EXPECT_FALSE(portmap::resolvePortPath(n, "/dev/null").has_value()) << n;
}

TEST(PortPath, ReadsTheEnvironmentPerNumber) {
  ::setenv("ENCODER_COM7", "/tmp/encoder-seven", 1);
  ::setenv("ENCODER_COM8", "", 1);
  EXPECT_EQ(portmap::resolvePortPath(7), "/tmp/encoder-seven");
  EXPECT_EQ(portmap::resolvePortPath(8), "/dev/ttyS7");
  ::unsetenv("ENCODER_COM7");
  EXPECT_EQ(portmap::resolvePortPath(7), "/dev/ttyS6");
  ::unsetenv("ENCODER_COM8");
  EXPECT_EQ(portmap::overrideVariable(3), "ENCODER_COM3");
}

}  // namespace
