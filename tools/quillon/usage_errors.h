// Checks of option values and the messages for a command line that cannot
// be parsed: one line each, "quillon: " first, naming the word rejected
// and what is allowed in plain words ("--count must be at least 1, not
// \"0\""), instead of CLI11's own texts.
#pragma once

#include <CLI/CLI.hpp>
#include <initializer_list>
#include <string>

namespace quillon::cli {

/// A whole number of at least `minimum` that fits a long; `name` is how
/// the messages call the option.
[[nodiscard]] CLI::Validator wholeNumberFrom(const std::string& name,
                                             long minimum);
/// One of `words`; messages read "<name> takes a, b or c, not \"x\"".
[[nodiscard]] CLI::Validator oneOf(const std::string& name,
                                   std::initializer_list<const char*> words);

/// The message for a command line CLI11 refused (a failure_message
/// function): "quillon: unknown subcommand \"frob\" ...".
[[nodiscard]] std::string usageError(const CLI::App* app,
                                     const CLI::Error& error);

}  // namespace quillon::cli
