// How the library waits for the encoder, against the simulated encoder on
// a pseudo-terminal:
//  (a) time from a reply's last byte to the operation's return, which the
//      protocol fixes at the 79 ms pause that ends a reply;
//  (b) CPU time a read uses while it waits 11 s for a card that never comes;
//  (c) how soon after Escape is pressed a waiting read returns.
// Prints a table. `--quick` takes fewer samples and skips the 11 s waits.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "quillon/core/encoder_device.h"
#include "quillon/keyboard/keyboard_probe.h"
#include "scripted_probes.h"
#include "simulated_encoder.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;
constexpr int kBaud = 9600;

struct Summary {
  double median = 0, p99 = 0, max = 0;
};

Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    const auto i = static_cast<std::size_t>(q * (samples.size() - 1) + 0.5);
    return samples[i];
  };
  return {at(0.5), at(0.99), samples.back()};
}

double threadCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
         usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
}

// A simulated encoder on its own pty.
struct Bench {
  explicit Bench(sim::SimulatedEncoder::Options options) : encoder(options) {
    // The observer runs on the encoder's thread right after a burst went
    // out, so this is when the reply's last byte reached the line.
    encoder.setTrafficObserver(
        [this](sim::SimulatedEncoder::Direction direction, const sim::Bytes&) {
          if (direction == sim::SimulatedEncoder::Direction::Sent)
            lastSent.store(Clock::now());
        });
    if (!encoder.start()) {
      std::fprintf(stderr, "no pseudo-terminal: %s\n",
                   encoder.errorText().c_str());
      std::exit(1);
    }
  }
  Clock::time_point lastReplySentAt() const { return lastSent.load(); }

  std::atomic<Clock::time_point> lastSent{};
  sim::SimulatedEncoder encoder;
};

void replyToReturn(int samples, quillon::KeyboardProbe& probe,
                   const char* keyboard) {
  Bench bench({.baudRate = kBaud, .swipeDelay = std::chrono::milliseconds(0)});
  quillon::EncoderDevice device(probe);
  if (device.Open(bench.encoder.slavePath(), kBaud) != QUILLON_OK) {
    std::fprintf(stderr, "open failed\n");
    std::exit(1);
  }
  std::vector<double> statusQuery, cardRead;
  char t1[400], t2[400], t3[400];
  bench.encoder.loadDeck(std::vector<sim::Card>(
      samples, sim::Card{"%B4000^DOE^2512?", ";4000=2512?", ";0042?"}));
  for (int i = 0; i < samples; ++i) {
    if (device.QueryStatus() != 0) std::exit(2);
    statusQuery.push_back(Ms(Clock::now() - bench.lastReplySentAt()).count());
    if (const int status = device.ReadCard(7, t1, t2, t3); status != 0) {
      std::fprintf(stderr, "card read %d returned %d\n", i, status);
      std::exit(3);
    }
    cardRead.push_back(Ms(Clock::now() - bench.lastReplySentAt()).count());
  }
  device.Close();
  for (auto& [name, data] : {std::pair{"status query (ESC 'j')", &statusQuery},
                             std::pair{"card read, 3 tracks", &cardRead}}) {
    const Summary s = summarize(*data);
    std::printf(
        "| %s, %s | %d | %.2f ms | %.2f ms | %.2f ms | 79 ms +- 1 ms at the "
        "median |\n",
        name, keyboard, samples, s.median, s.p99, s.max);
  }
}

void cpuWhileWaiting(const char* label, quillon::KeyboardProbe& probe) {
  Bench bench({.baudRate = kBaud, .swipeDelay = std::nullopt});
  quillon::EncoderDevice device(probe);
  if (device.Open(bench.encoder.slavePath(), kBaud) != QUILLON_OK) std::exit(1);
  char t1[400], t2[400], t3[400];
  const double cpuBefore = threadCpuMs();
  const auto start = Clock::now();
  const int status = device.ReadCard(7, t1, t2, t3);
  const double wall = Ms(Clock::now() - start).count();
  const double cpu = threadCpuMs() - cpuBefore;
  device.Close();
  std::printf("| %s | %d | %.0f ms | %.1f ms | %.3f %% | < 1 %% |\n", label,
              status, wall, cpu, 100.0 * cpu / wall);
}

// Escape pressed -> the read returns -13, pressed at moments unrelated to
// the read's own rhythm. The row's figures are printed under `label`.
void escapeToReturn(const char* label, quillon::KeyboardProbe& deviceProbe,
                    const std::function<void()>& release,
                    const std::function<void()>& press, int samples) {
  Bench bench({.baudRate = kBaud, .swipeDelay = std::nullopt});
  quillon::EncoderDevice device(deviceProbe);
  if (device.Open(bench.encoder.slavePath(), kBaud) != QUILLON_OK) std::exit(1);
  std::vector<double> latency;
  char t1[400], t2[400], t3[400];
  for (int i = 0; i < samples; ++i) {
    release();
    Clock::time_point pressedAt;
    std::thread presser([&] {
      std::this_thread::sleep_for(
          std::chrono::microseconds(30'000 + 1'370 * i));
      pressedAt = Clock::now();
      press();
    });
    const int status = device.ReadCard(7, t1, t2, t3);
    const auto returned = Clock::now();
    presser.join();
    if (status != -13) {
      std::fprintf(stderr, "read returned %d, not -13\n", status);
      std::exit(4);
    }
    latency.push_back(Ms(returned - pressedAt).count());
  }
  release();
  device.Close();
  const Summary s = summarize(latency);
  std::printf("| %s | %d | %.2f ms | %.2f ms | %.2f ms | < 20 ms |\n", label,
              samples, s.median, s.p99, s.max);
}

template <typename Probe>
void escapeLatency(const char* label, Probe& probe, int samples) {
  escapeToReturn(
      label, probe, [&] { probe.release(); }, [&] { probe.press(); }, samples);
}

// Escape held on the X server itself (xdotool), measured from the start of
// the command that presses it, so the figure includes starting xdotool.
void xdotoolLatency(int samples) {
  const auto xdotool = [](const char* command) {
    if (std::system(command) != 0) std::exit(5);
  };
  const auto machine = quillon::makeMachineKeyboardProbe();
  escapeToReturn(
      "X server's keyboard (xdotool keydown, from its start)", *machine,
      [&] { xdotool("xdotool keyup Escape"); },
      [&] { xdotool("xdotool keydown Escape"); }, samples);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // rows show as they come
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int samples = quick ? 20 : 200;
  std::printf(
      "Line: simulated encoder on a pseudo-terminal, %d baud, replies "
      "paced at 10 bits per byte.\n\n",
      kBaud);
  std::printf(
      "| (a) last reply byte -> return | n | median | p99 | max | "
      "target |\n|---|---|---|---|---|---|\n");
  {
    auto none = quillon::makeNullKeyboardProbe();
    replyToReturn(samples, *none, "no keyboard");
  }
  if (std::getenv("DISPLAY") != nullptr) {
    const auto machine = quillon::makeMachineKeyboardProbe();
    replyToReturn(samples, *machine, "machine probe (X11 + input)");
  }

  if (!quick) {
    std::printf(
        "\n| (b) a read waits for a card that never comes | result | "
        "wall | CPU | share of a core | target |\n"
        "|---|---|---|---|---|---|\n");
    auto none = quillon::makeNullKeyboardProbe();
    cpuWhileWaiting("no keyboard", *none);
    const auto machine = quillon::makeMachineKeyboardProbe();
    cpuWhileWaiting(std::getenv("DISPLAY") ? "machine probe (X11 + input)"
                                           : "machine probe (input devices)",
                    *machine);
  }

  std::printf(
      "\n| (c) Escape pressed -> read returns | n | median | p99 | "
      "max | target |\n|---|---|---|---|---|---|\n");
  bench::PolledProbe polled(std::chrono::milliseconds(10));
  escapeLatency("looked at every 10 ms (X11)", polled, quick ? 10 : 50);
  bench::WakingProbe waking;
  escapeLatency("key event wakes the wait", waking, quick ? 10 : 50);
  if (std::getenv("DISPLAY") != nullptr &&
      std::system("command -v xdotool >/dev/null") == 0)
    xdotoolLatency(quick ? 10 : 50);
  return 0;
}
