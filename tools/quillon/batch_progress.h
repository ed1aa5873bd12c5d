// Progress of a batch over one or more encoders, on the one line that
// status_line.h rewrites in place (only when stderr is a terminal). One
// encoder keeps the single-encoder line ("card 12 of 500 written, track 2
// 0000000012, 3.1 s/card"); several show each encoder and the batch's
// rate ("COM1 card 41 written, /dev/ttyUSB1 waiting for a card; 57 of
// 500, 31 cards/min"). A line wider than the terminal is shortened (ports
// by the last part of their names, states by their first word) before it
// is cut, and keeps its count and rate. Every encoder's thread may call
// it.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "encoder_session.h"

namespace quillon::cli {

class BatchProgress : public batch::ProgressObserver {
 public:
  /// `ports` as given; `total` cards in the batch (0: no end); `verb` for
  /// a card done ("written", "read").
  BatchProgress(bool quiet, std::vector<std::string> ports, long total,
                std::string verb);
  ~BatchProgress() override;
  BatchProgress(const BatchProgress&) = delete;
  BatchProgress& operator=(const BatchProgress&) = delete;

  /// What encoder `encoder` (its index in `ports`) does now: "waiting for
  /// a card", "reading card 7 back", "lost".
  void doing(std::size_t encoder, const std::string& what) override;
  /// Card `number` is done at `encoder`; `done` cards of the batch are
  /// done in all. `detail` is shown with one encoder only.
  void cardDone(std::size_t encoder, long number, long done,
                const std::string& detail) override;

 private:
  void draw();  // the lock is held

  std::mutex mutex_;
  bool show_;
  std::vector<std::string> ports_;
  std::vector<std::string> shortPorts_;  // for a narrow terminal
  std::vector<std::string> states_;
  long total_;
  std::string verb_;
  double start_;
  long doneHere_ = 0;        // cards done since the program started
  long done_ = 0;            // cards done in the batch
  std::string single_;       // the one-encoder line, but its rate
  std::string singleShort_;  // the same without the card's detail
  std::string singleTail_;   // its rate
};

}  // namespace quillon::cli
