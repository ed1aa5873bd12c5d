// The simulated encoder of `velmora --simulate`: it runs in the program's
// process on a pseudo-terminal, and a port number is mapped to it, so the
// program can be tried with every command and no device.
#pragma once

#include <QString>
#include <memory>
#include <vector>

#include "simulated_encoder.h"

class SimulatedDevice {
 public:
  SimulatedDevice();
  ~SimulatedDevice();

  /// Starts the encoder and maps COM<portNumber> to it. False with a
  /// reason when no pseudo-terminal can be had.
  bool start(int portNumber, QString* error);
  [[nodiscard]] QString slavePath() const;
  [[nodiscard]] sim::SimulatedEncoder& encoder() { return *m_encoder; }

  /// A few cards for the first reads.
  [[nodiscard]] static std::vector<sim::Card> demoDeck();

 private:
  std::unique_ptr<sim::SimulatedEncoder> m_encoder;
};
