// The ten exported functions. Each forwards to the library's one device;
// no exception may leave through the C interface. Ports are named by
// number here only: the device below opens a path.
#include <new>

#include "com_port_path.h"
#include "quillon.h"
#include "quillon/core/encoder_device.h"

namespace {

// Built when the library is loaded, with its port closed. Destroyed at
// unload without closing the port: a port the caller left open stays open.
quillon::EncoderDevice g_device;

// COM`port` to its device: only the low 8 bits count (257 is COM1), and a
// number that names no device (0, a relative ENCODER_COMn) fails the open
// as a device that is not there does, closing an open port all the same.
quillon::Status openComPort(int port, int baud) {
  const auto path = portmap::resolvePortPath(port & 0xFF);
  if (!path) {
    g_device.Close();
    return QUILLON_ERR_NOT_OPEN;
  }
  return g_device.Open(*path, baud);
}

template <typename Operation>
int16_t guarded(int16_t onFailure, Operation operation) noexcept {
  try {
    return operation();
  } catch (...) {  // std::bad_alloc building a frame: nothing was sent
    return onFailure;
  }
}

}  // namespace

extern "C" {

int16_t gOpenSerialPort(int port, int baud) {
  return guarded(QUILLON_ERR_NOT_OPEN, [&] { return openComPort(port, baud); });
}

int16_t gCloseSerialCom(void) {
  return guarded(QUILLON_OK, [] { return g_device.Close(); });
}

int16_t gReset(void) {
  return guarded(QUILLON_ERR_WRITE, [] { return g_device.Reset(); });
}

int16_t gSetHLCo(int mode) {
  return guarded(QUILLON_ERR_WRITE,
                 [&] { return g_device.SetCoercivity(mode); });
}

int16_t gSetTrack2Density(int letter) {
  return guarded(QUILLON_ERR_WRITE,
                 [&] { return g_device.SetTrack2Density(letter); });
}

int16_t gMSRReadCard(int selection, char* track1, char* track2, char* track3) {
  return guarded(QUILLON_ERR_WRITE, [&] {
    return g_device.ReadCard(selection, track1, track2, track3);
  });
}

int16_t gMSRWriteCard(int selection, const char* track1, const char* track2,
                      const char* track3) {
  return guarded(QUILLON_ERR_WRITE, [&] {
    return g_device.WriteCard(selection, track1, track2, track3);
  });
}

int16_t gEraseInformationofCard(int code) {
  return guarded(QUILLON_ERR_WRITE, [&] { return g_device.EraseCard(code); });
}

int16_t gCommunicationWithDevice(void) {
  return guarded(QUILLON_ERR_WRITE,
                 [] { return g_device.TestCommunication(); });
}

int16_t gMSRWrtOrReadStatus(void) {
  return guarded(QUILLON_ERR_WRITE, [] { return g_device.QueryStatus(); });
}

}  // extern "C"
