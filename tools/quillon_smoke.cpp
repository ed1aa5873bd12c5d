// quillon-smoke: opens a device through the library's core and runs a
// communication test, a status request, a card write and a card read,
// printing each status code. With --simulate it starts a simulated encoder
// of its own and opens its line. Exit code 0 only when every step
// succeeded.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "com_port_path.h"
#include "quillon/core/encoder_device.h"
#include "simulated_encoder.h"

namespace {

struct Options {
  int port = 1;
  std::string device;  // instead of the port's
  int baud = 9600;
  bool simulate = false;
};

void usage(std::FILE* out) {
  std::fputs(
      "usage: quillon-smoke [--port N | --device PATH] [--baud B] "
      "[--simulate]\n"
      "  --port N       serial port COMN (default 1; ENCODER_COMN overrides "
      "the device path)\n"
      "  --device PATH  the device by its path\n"
      "  --baud B       baud rate (default 9600)\n"
      "  --simulate     run against a simulated encoder of its own\n"
      "A write and a read each wait up to 11 s for a card to be passed.\n",
      out);
}

bool parseInt(const char* text, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < 0 || parsed > 100000000)
    return false;
  value = static_cast<int>(parsed);
  return true;
}

// 0: run; 1: bad arguments; 2: help shown.
int parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--simulate") {
      options.simulate = true;
    } else if (arg == "--device" && i + 1 < argc) {
      options.device = argv[++i];
    } else if ((arg == "--port" || arg == "--baud") && i + 1 < argc) {
      int& target = arg == "--port" ? options.port : options.baud;
      if (!parseInt(argv[++i], target)) return 1;
    } else if (arg == "--help" || arg == "-h") {
      return 2;
    } else {
      return 1;
    }
  }
  return 0;
}

bool report(const char* step, quillon::Status status) {
  std::printf("%-22s %d\n", step, status);
  return status == QUILLON_OK;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (parse(argc, argv, options)) {
    case 1: usage(stderr); return 2;
    case 2: usage(stdout); return 0;
    default: break;
  }

  std::unique_ptr<sim::SimulatedEncoder> encoder;
  std::string path = options.device;
  if (options.simulate) {
    encoder = std::make_unique<sim::SimulatedEncoder>();
    if (!encoder->start()) {
      std::fprintf(stderr, "quillon-smoke: simulated encoder: %s\n",
                   encoder->errorText().c_str());
      return 1;
    }
    path = encoder->slavePath();
    std::printf("simulated encoder on %s\n", path.c_str());
  } else if (path.empty()) {
    const portmap::Resolution port = portmap::resolvePort(options.port);
    if (!port.path) {
      std::fprintf(stderr, "quillon-smoke: %s\n", port.message.c_str());
      return 1;
    }
    path = *port.path;
  }

  quillon::EncoderDevice device;
  bool ok = report("open", device.Open(path, options.baud));
  if (ok) {
    ok &= report("communication test", device.TestCommunication());
    ok &= report("status", device.QueryStatus());
    const char* track1 = "QUILLON SMOKE TEST";
    const char* track2 = "1234567890";
    const char* track3 = "0987654321";
    ok &= report("write tracks 1,2,3",
                 device.WriteCard(7, track1, track2, track3));
    char read1[QUILLON_READ_BUFFER_SIZE] = {};
    char read2[QUILLON_READ_BUFFER_SIZE] = {};
    char read3[QUILLON_READ_BUFFER_SIZE] = {};
    const bool readOk =
        report("read tracks 1,2,3", device.ReadCard(7, read1, read2, read3));
    ok &= readOk;
    if (readOk) {
      std::printf("  track 1: %s\n  track 2: %s\n  track 3: %s\n", read1, read2,
                  read3);
      // Against the simulator the card read is the card just written.
      if (options.simulate &&
          (std::strcmp(read1, track1) != 0 || std::strcmp(read2, track2) != 0 ||
           std::strcmp(read3, track3) != 0)) {
        std::puts("read data differ from the data written");
        ok = false;
      }
    }
    report("close", device.Close());
  }
  std::puts(ok ? "all steps succeeded" : "a step failed");
  return ok ? 0 : 1;
}
