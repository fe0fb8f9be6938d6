// The command's options: flags, over the configuration file (/etc/mailhook/mailhook.conf, or
// --config; TOML/INI, a section per subcommand, read by CLI11 itself). Parsed at start and again
// on SIGHUP, when the long-running subcommands take what can change live from the file.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "demo.h"
#include "hook.h"
#include "service.h"
#include "stats.h"
#if defined(MAILHOOK_WITH_MILTER)
#include "milter.h"
#endif

namespace mailhook {

inline constexpr char kDefaultConfig[] = "/etc/mailhook/mailhook.conf";

struct CommandOptions {
  std::string subcommand;  // "service", "hook", ...
  std::string config;      // the file read; empty: none (the default one is missing)
  ServiceOptions service;
  HookCommandOptions hook;
  DemoOptions demo;
#if defined(MAILHOOK_WITH_MILTER)
  MilterOptions milter;
#endif
  std::string inspectPath;
  StatsCommandOptions stats;
};

// Parses the arguments (argv[0] left out) and the configuration file. Returns the exit code when
// the command must end here (0 after --help, 2 after an error, said on stderr with the file and
// line when the file is at fault), nothing when the options are ready.
std::optional<int> ParseCommand(const std::vector<std::string>& args, CommandOptions& out);

// The same arguments parsed again with the file as it is now; false with the reason (the file's
// name and line) when it does not parse, and then nothing changes.
bool RereadCommand(const std::vector<std::string>& args, CommandOptions& out, std::string& error);

}  // namespace mailhook
