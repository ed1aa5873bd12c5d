// A started encoder with its line opened from the other side.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "encoder_protocol.h"
#include "line_end.h"
#include "simulated_encoder.h"

namespace sim::testing {

using quillon_test::Arrival;
using quillon_test::bytesOf;
using quillon_test::SlavePort;
using namespace std::chrono_literals;

// The control bytes as text, to write frames as strings.
inline const std::string kEsc(1, static_cast<char>(protocol::kEsc));
inline const std::string kFs(1, static_cast<char>(protocol::kFs));
inline const std::string kGs(1, static_cast<char>(protocol::kGs));

class EncoderLine : public ::testing::Test {
 protected:
  void SetUp() override { startEncoder(SimulatedEncoder::Options{}); }

  void startEncoder(SimulatedEncoder::Options options) {
    port.reset();
    encoder = std::make_unique<SimulatedEncoder>(options);
    ASSERT_TRUE(encoder->start()) << encoder->errorText();
    port = std::make_unique<SlavePort>(encoder->slavePath());
    ASSERT_TRUE(port->isOpen()) << encoder->slavePath();
  }

  /// Sends a frame and returns what comes back.
  Bytes ask(const std::string& frame) {
    port->write(frame);
    return port->readReply();
  }

  std::unique_ptr<SimulatedEncoder> encoder;
  std::unique_ptr<SlavePort> port;
};

}  // namespace sim::testing
