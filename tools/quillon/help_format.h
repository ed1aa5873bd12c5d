// The layout of --help: a subcommand's help shows its own options, then the
// global options (they work after the subcommand too), then its own
// example; the program's help lists each subcommand with that example.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace quillon::cli {

class HelpFormat : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;
  std::string make_subcommand(const CLI::App* sub) const override;
};

/// Gives the subcommand its one example, shown in both helps.
void setExample(CLI::App* sub, const std::string& example);

}  // namespace quillon::cli
