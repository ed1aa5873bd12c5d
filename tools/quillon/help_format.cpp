#include "help_format.h"

#include <sstream>

namespace quillon::cli {

namespace {

constexpr const char* kExampleTitle = "Example:\n  ";

std::string exampleOf(const CLI::App* sub) {
  const std::string footer = sub->get_footer();
  const std::string title = kExampleTitle;
  return footer.starts_with(title) ? footer.substr(title.size()) : "";
}

}  // namespace

void setExample(CLI::App* sub, const std::string& example) {
  sub->footer(kExampleTitle + example);
}

std::string HelpFormat::make_help(const CLI::App* app, std::string name,
                                  CLI::AppFormatMode mode) const {
  const CLI::App* parent = app->get_parent();
  if (mode != CLI::AppFormatMode::Normal || parent == nullptr)
    return Formatter::make_help(app, std::move(name), mode);
  // The program's own options, also for a subcommand's subcommand.
  while (parent->get_parent() != nullptr) parent = parent->get_parent();
  const auto globals = parent->get_options([parent](const CLI::Option* o) {
    return o->nonpositional() && o != parent->get_help_ptr() &&
           !o->check_lname("version");
  });
  std::string groups = make_groups(app, mode);
  while (groups.ends_with("\n\n")) groups.pop_back();
  std::ostringstream out;
  out << make_description(app) << make_usage(app, name) << make_positionals(app)
      << groups << make_group("Global options", false, globals) << '\n';
  // A subcommand of its own subcommands (queue) lists them, as the
  // program's help does.
  if (!app->get_subcommands({}).empty()) {
    std::string subcommands = make_subcommands(app, mode);
    while (subcommands.starts_with("\n")) subcommands.erase(0, 1);
    out << subcommands << '\n';
  }
  out << make_footer(app);
  return out.str();
}

std::string HelpFormat::make_subcommand(const CLI::App* sub) const {
  std::ostringstream out;
  std::string description = sub->get_description();
  if (const auto example = exampleOf(sub); !example.empty())
    description += "\n  e.g. " + example;
  CLI::detail::format_help(out, sub->get_name(), description, column_width_);
  return out.str();
}

}  // namespace quillon::cli
