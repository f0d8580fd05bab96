// What the two commands of tl500-sim (the board itself and `tl500-sim test`)
// do alike with their command lines: the look of --help, an option given
// twice, options that name a file, and how parsing ends the program.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace sim {

// Help in columns of 30; an option given twice takes its last value, as
// scripts that add to a command line expect; --version when there is a text
// for it, then -h and --help (the help lists them in that order).
inline void setUpCommand(CLI::App& app, const std::string& version = "", const std::string& versionHelp = "") {
  app.get_formatter()->column_width(30);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  if (!version.empty()) app.set_version_flag("--version", version, versionHelp);
  app.set_help_flag("-h,--help", "show this help and exit");
}

// An option whose value is a file name, shown as FILE in the help.
inline CLI::Option* addFileOption(CLI::App& app, const std::string& name, std::string& file, const std::string& help) {
  return app.add_option(name, file, help)->type_name("FILE");
}

// Parses the command line. Returns the exit status when the program ends
// here: 0 after --help or --version was shown, what `usageError` returns for
// a command line it cannot read; nothing when the run goes on.
template <typename UsageError>
std::optional<int> parseCommandLine(CLI::App& app, int argc, char** argv, UsageError usageError) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return usageError(std::string(e.what()));
  }
  return std::nullopt;
}

}  // namespace sim
