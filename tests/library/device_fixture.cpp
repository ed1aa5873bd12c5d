#include "device_fixture.h"

#include <thread>

namespace quillon_test {

using namespace std::chrono_literals;

Bytes frame(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void EncoderDeviceTest::SetUp() {
  ASSERT_TRUE(encoder.start()) << encoder.errorText();
  ASSERT_EQ(device.Open(encoder.slavePath(), 9600), 0);
}

void EncoderDeviceTest::TearDown() {
  if (helper.joinable()) helper.join();
  device.Close();
  encoder.stop();
}

Bytes EncoderDeviceTest::receivedOnce(std::size_t count) {
  const auto end = std::chrono::steady_clock::now() + 2s;
  Bytes bytes = encoder.received();
  while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(2ms);
    bytes = encoder.received();
  }
  return bytes;
}

Bytes EncoderDeviceTest::receivedAfterPause() {
  std::this_thread::sleep_for(100ms);
  return encoder.received();
}

void EncoderDeviceTest::unplugAfter(std::chrono::milliseconds after) {
  helper = std::thread([this, after] {
    std::this_thread::sleep_for(after);
    encoder.unplug();
  });
}

}  // namespace quillon_test
