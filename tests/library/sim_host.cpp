// Serves a simulated encoder for a client in another language: prints the
// pseudo-terminal's path, then answers commands read from stdin, one per
// line:
//   received           the bytes the encoder got since the last time, in hex
//   deck T1|T2|T3      the card the next read swipes
//   silent 0|1         stop or start answering
// It ends when stdin closes.
#include <cstdio>
#include <iostream>
#include <string>

#include "simulated_encoder.h"

int main() {
  sim::SimulatedEncoder encoder;
  if (!encoder.start()) {
    std::cerr << "sim_host: " << encoder.errorText() << '\n';
    return 1;
  }
  std::cout << encoder.slavePath() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "received") {
      std::string hex;
      char digits[4];
      for (std::uint8_t b : encoder.received()) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        hex += digits;
      }
      encoder.clearReceived();
      std::cout << hex << std::endl;
    } else if (line.rfind("deck ", 0) == 0) {
      const std::string fields = line.substr(5);
      const auto a = fields.find('|');
      const auto b = fields.find('|', a + 1);
      encoder.loadDeck({{fields.substr(0, a), fields.substr(a + 1, b - a - 1),
                         fields.substr(b + 1)}});
      std::cout << "ok" << std::endl;
    } else if (line.rfind("silent ", 0) == 0) {
      encoder.setSilent(line.substr(7) == "1");
      std::cout << "ok" << std::endl;
    } else {
      std::cout << "unknown" << std::endl;
    }
  }
  encoder.stop();
  return 0;
}
