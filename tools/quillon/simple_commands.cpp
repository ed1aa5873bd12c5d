// test, status, reset, erase, coercivity and density: one frame each.
#include <iostream>

#include "commands.h"
#include "encoder_protocol.h"
#include "exit_codes.h"
#include "quillon/core/status.h"

namespace quillon::cli {

namespace {

// Opens the port, runs one operation and reports it; with several ports,
// on each in turn (each line then names its port), up to the first that
// fails.
template <typename Operation>
int once(const GlobalOptions& global, InterruptSource& interrupt,
         const std::string& what, const std::string& done,
         Operation operation) {
  for (const std::string& port : global.ports) {
    Session session(global, port, interrupt);
    if (const int code = session.open(); code != kExitDone) return code;
    const Status status = operation(session.device());
    if (status != QUILLON_OK) return session.fail(status, what);
    if (!global.quiet)
      std::cout << (global.ports.size() > 1 ? port + ": " : "") << done << '\n';
  }
  return kExitDone;
}

}  // namespace

int selectionOf(const std::vector<int>& tracks) {
  int selection = 0;
  for (const int track : tracks) {
    if (track < 1 || track > 3 || (selection & (1 << (track - 1))) != 0)
      return 0;
    selection |= 1 << (track - 1);
  }
  return selection;
}

int runTest(const GlobalOptions& global, InterruptSource& interrupt) {
  return once(global, interrupt, "the line test", "the encoder answers",
              [](EncoderDevice& d) { return d.TestCommunication(); });
}

int runStatus(const GlobalOptions& global, InterruptSource& interrupt) {
  return once(global, interrupt, "the status request", "status: ok",
              [](EncoderDevice& d) { return d.QueryStatus(); });
}

int runReset(const GlobalOptions& global, InterruptSource& interrupt) {
  return once(global, interrupt, "the reset", "reset sent",
              [](EncoderDevice& d) { return d.Reset(); });
}

int runErase(const GlobalOptions& global, InterruptSource& interrupt,
             const std::vector<int>& tracks) {
  const int selection = selectionOf(tracks);
  if (selection == 0) {
    complain("--tracks takes 1, 2 and 3, each once (1,2,3)");
    return kExitUsage;
  }
  return once(global, interrupt, "the erase",
              "erase sent: pass the card through the encoder",
              [&](EncoderDevice& d) {
                return d.EraseCard(protocol::eraseCodeOf(selection));
              });
}

int runCoercivity(const GlobalOptions& global, InterruptSource& interrupt,
                  const std::string& level) {
  const bool high = level == "high";
  return once(global, interrupt, "the coercivity setting",
              "coercivity set to " + level,
              [&](EncoderDevice& d) { return d.SetCoercivity(high ? 1 : 0); });
}

int runDensity(const GlobalOptions& global, InterruptSource& interrupt,
               int bitsPerInch) {
  return once(global, interrupt, "the density setting",
              "track 2 density set to " + std::to_string(bitsPerInch) + " BPI",
              [&](EncoderDevice& d) {
                return d.SetTrack2Density(bitsPerInch == 75 ? 'L' : 'H');
              });
}

}  // namespace quillon::cli
