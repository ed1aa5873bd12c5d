// Where records go: standard output or a file, written out whole after
// every card so that an interruption leaves every line whole, and a record
// that cannot be written whole (a full disk) is taken back out of a file.
// A file is opened, and an earlier one emptied, only with the first record:
// a command that fails before the encoder answered leaves it as it was.
#pragma once

#include <string>

#include "encoder_session.h"

namespace quillon::cli {

class OutputSink : public batch::ResultSink {
 public:
  OutputSink() = default;
  ~OutputSink() override;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  /// Chooses where the records go: standard output for an empty path, "-"
  /// or a path that names standard output itself (/dev/stdout), else the
  /// file. Checked without touching the file: a message when it cannot
  /// take card data (another user's file, a folder, no permission).
  std::string choose(const std::string& path);
  /// Writes the text; false when the output is gone (a closed pipe, a full
  /// disk), with error() telling why. A file is then cut back to its
  /// records before, so that no part of this one stays. The first text
  /// opens the file: a regular file is created 0600, or emptied and brought
  /// to 0600 (a pipe or a device is written as it is).
  bool put(const std::string& text) override;
  /// Where the output goes and why the last put() failed: "cards.csv:
  /// File too large".
  [[nodiscard]] const std::string& error() const { return error_; }
  /// True when the last put() failed because nobody reads the pipe any
  /// more (`quillon read | head -2`).
  [[nodiscard]] bool closedPipe() const override { return closedPipe_; }

 private:
  /// Opens the chosen file; why it failed, or empty.
  std::string openFile();

  int fd_ = 1;        // standard output
  std::string path_;  // the file chosen; empty: standard output
  bool owned_ = false;
  std::string name_ = "standard output";
  std::string error_;
  bool closedPipe_ = false;
};

}  // namespace quillon::cli
