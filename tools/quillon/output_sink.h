// Where records go: standard output or a file, flushed after every card
// so that an interruption leaves every line whole.
#pragma once

#include <cstdio>
#include <string>

namespace quillon::cli {

class OutputSink {
 public:
  OutputSink() = default;
  ~OutputSink();
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  /// Empty path: standard output. A message on failure, else empty.
  std::string open(const std::string& path);
  /// Writes and flushes; false when the output is gone (a closed pipe,
  /// a full disk).
  bool put(const std::string& text);

 private:
  std::FILE* file_ = stdout;
  bool owned_ = false;
};

/// Progress for a person watching: on stderr, only when it is a terminal.
class Progress {
 public:
  explicit Progress(bool quiet);
  /// "card 12 of 500 written, track 2 0000000012, 3.1 s/card"
  void card(long number, long total, const std::string& verb,
            const std::string& detail);

 private:
  bool show_;
  double start_;
  long done_ = 0;
};

}  // namespace quillon::cli
