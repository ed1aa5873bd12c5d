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
