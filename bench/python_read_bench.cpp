// Reading card after card at instant swipes from Python, side by side in
// one run against the simulated encoder (replies paced at 9600 baud): the
// quillon module, the quillon program, the C library's exported read in a
// ctypes loop, and a careful pyserial loop that ends each reply after 79 ms
// of silence. Per way: the gap from a reply's last byte to the next frame,
// and cards per minute (the process's start and end included). Then the
// module's import time and its resident memory over a long reading loop.
// Prints tables. `--cards N` (default 200; pyserial reads a tenth of them,
// at least 20), `--long N` cards for the memory run (default 10000).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoder_protocol.h"
#include "timed_line.h"

namespace {

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
  std::string hex;
  char two[3];
  for (const auto byte : bytes) {
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  return hex;
}

std::string script(const char* name) {
  return std::string(BENCH_PYTHON_DIR) + "/" + name;
}

}  // namespace

int main(int argc, char** argv) {
  long cards = 200;
  long longRun = 10000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--cards") == 0) cards = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--long") == 0) longRun = std::atol(argv[i + 1]);
  }
  const long slowCards = std::max(20L, cards / 10);
  bench::TimedLine line;
  const std::string pythonPath = "PYTHONPATH=" + std::string(BENCH_PYTHON_PATH);
  const std::string com1 = "ENCODER_COM1=" + line.path();
  const std::string readFrame = hexOf(*protocol::readCommand(7));
  // The program leaves a written card on the tray: every read swipes it.
  line.run({QUILLON_PROGRAM, "--quiet", "--port", line.path(), "write",
            "--track1", "BENCH", "--track2", "1234567890", "--track3", "9"});

  struct Way {
    const char* name;
    long cards;
    std::vector<std::string> argv;
  };
  const std::string n = std::to_string(cards);
  const std::vector<Way> ways = {
      {"quillon module",
       cards,
       {PYTHON, script("module_loop.py"), line.path(), n}},
      {"quillon program",
       cards,
       {QUILLON_PROGRAM, "--quiet", "--port", line.path(), "read", "--count", n,
        "--format", "csv"}},
      {"exported read (ctypes)",
       slowCards,
       {PYTHON, script("exported_loop.py"), LIBRARY_FILE,
        std::to_string(slowCards)}},
      {"pyserial, 79 ms silence",
       slowCards,
       {PYTHON, script("pyserial_loop.py"), line.path(),
        std::to_string(slowCards), readFrame}},
  };
  std::printf(
      "| way | cards | reply end -> next frame: median | p99 | cards/min "
      "|\n|---|---|---|---|---|\n");
  for (const Way& way : ways) {
    const bench::Run run = line.run(way.argv, {pythonPath, com1});
    if (run.exitCode != 0) {
      std::fprintf(stderr, "%s exited with %d\n", way.name, run.exitCode);
      return 1;
    }
    std::printf("| %s | %ld | %.3f ms | %.3f ms | %.0f |\n", way.name,
                way.cards, bench::quantile(run.gapsMs, 0.5),
                bench::quantile(run.gapsMs, 0.99),
                static_cast<double>(way.cards) * 60.0 / run.seconds);
  }

  std::vector<double> imports;
  for (int i = 0; i < 10; ++i) {
    imports.push_back(
        line.run({PYTHON, "-c", "import quillon"}, {pythonPath}).seconds *
        1000);
  }
  const std::vector<double> bare = [&] {
    std::vector<double> runs;
    for (int i = 0; i < 10; ++i)
      runs.push_back(line.run({PYTHON, "-c", "pass"}).seconds * 1000);
    return runs;
  }();
  std::printf(
      "\n| import quillon | median | python3 -c pass |\n|---|---|---|\n"
      "| process, start to end | %.1f ms | %.1f ms |\n",
      bench::quantile(imports, 0.5), bench::quantile(bare, 0.5));

  const bench::Run memory = line.run(
      {PYTHON, script("module_loop.py"), line.path(), std::to_string(longRun)},
      {pythonPath}, true);
  long early = 0, late = 0, garbled = 0;
  if (memory.exitCode != 0 || std::sscanf(memory.output.c_str(), "%ld %ld %ld",
                                          &early, &late, &garbled) != 3) {
    std::fprintf(stderr, "the long reading loop failed\n");
    return 1;
  }
  std::printf(
      "\n| resident memory, module reading %ld cards | after %ld | at the "
      "end | replies not whole (read again) |\n|---|---|---|---|\n| kB | "
      "%ld | %ld | %ld |\n",
      longRun, std::max(1L, longRun / 10), early, late, garbled);
  return 0;
}
