#include "simulated_device.h"

#include <chrono>

#include "com_port_path.h"

namespace {

// Time from a read, write or erase command to the simulated swipe: long
// enough to see the program wait, short enough not to bore.
constexpr std::chrono::milliseconds kSwipeDelay{1500};
// Replies come at the line rate of the program's default setting.
constexpr int kLineBaud = 9600;

}  // namespace

SimulatedDevice::SimulatedDevice() {
  sim::SimulatedEncoder::Options options;
  options.baudRate = kLineBaud;
  options.swipeDelay = kSwipeDelay;
  // A card just written is the one the operator reads back.
  options.readBackWritten = true;
  m_encoder = std::make_unique<sim::SimulatedEncoder>(options);
}

SimulatedDevice::~SimulatedDevice() = default;

bool SimulatedDevice::start(int portNumber, QString* error) {
  if (!m_encoder->start()) {
    if (error != nullptr)
      *error = QString::fromStdString(m_encoder->errorText());
    return false;
  }
  m_encoder->loadDeck(demoDeck());
  const std::string variable = portmap::overrideVariable(portNumber);
  qputenv(variable.c_str(), QByteArray::fromStdString(m_encoder->slavePath()));
  return true;
}

QString SimulatedDevice::slavePath() const {
  return QString::fromStdString(m_encoder->slavePath());
}

std::vector<sim::Card> SimulatedDevice::demoDeck() {
  // Track 2 and 3 texts hold no 'A', 'B' or '?': those bytes separate and
  // end the tracks on the line.
  return {
      {"VELMORA DEMO CARD 0001", "6011000990139424=2512101", "0112345678901"},
      {"VELMORA DEMO CARD 0002", "6011000990139432=2512101", "0112345678902"},
      {"VELMORA DEMO CARD 0003", "6011000990139440=2512101", "0112345678903"},
  };
}
