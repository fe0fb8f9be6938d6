#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common.h"
#include "log.h"

namespace mailhook {

namespace {

// One parse: the options' definitions bound to the CommandOptions they fill.
class CCommandParser {
 public:
  explicit CCommandParser(CommandOptions& o);
  // Parses; CLI::Error and std::runtime_error (a setting CLI11 takes but we cannot) escape.
  void Parse(const std::vector<std::string>& args);
  CLI::App& App() { return m_app; }

 private:
  struct LogChoice {
    std::string where = "stderr", level;
  };
  void Finish();
  LogLevel LevelOf(CLI::App* cmd, bool quiet);

  CommandOptions& o;  // what the parse fills
  CLI::App m_app{
      "mailhook: carries e-mail messages between a mail server's hook and a scanning service "
      "through shared memory"};
  CLI::App* m_pService = nullptr;
  CLI::App* m_pHook = nullptr;
  CLI::App* m_pDemo = nullptr;
  CLI::App* m_pMilter = nullptr;
  CLI::App* m_pInspect = nullptr;
  CLI::Option* m_pConfig = nullptr;
  std::map<CLI::App*, LogChoice> m_logs;
  bool m_bServiceQuiet = false, m_bMilterQuiet = false;
  std::string m_sSocketMode = "0660";
  std::string m_sOnUnscanned = "accept", m_sOnUnavailable = "tempfail", m_sOnOversize = "accept";
};

CCommandParser::CCommandParser(CommandOptions& options) : o(options) {
  m_app.require_subcommand(1);
  // --config may come after the subcommand too.
  m_app.fallthrough();
  m_pConfig = m_app.set_config("--config", kDefaultConfig,
                               "Configuration file: a [section] per subcommand of its long options' "
                               "names (a missing default file is no error)");
  // A misspelt setting is an error, not a silent default.
  m_app.allow_config_extras(CLI::config_extras_mode::error);

  m_pService = m_app.add_subcommand("service", "Run the master scanning service until SIGINT or SIGTERM");
  m_pService->add_option("--dir", o.service.workDir, "Folder the hook's backing files must lie in")
      ->default_str("<runtime folder>/pool-1");
  m_pService->add_flag("-q,--quiet", m_bServiceQuiet, "Warnings and errors only (as --log-level warning)");

  m_pHook = m_app.add_subcommand("hook", "Carry messages through a running service");
  m_pDemo = m_app.add_subcommand("demo", "Start a service and carry the built-in messages through it");
  // The engine's options, for the service and passed on by the demo to its o.service.
  for (auto* cmd : {m_pService, m_pDemo}) {
    auto& scan = cmd == m_pService ? o.service.scan : o.demo.scan;
    cmd->add_option("--db", scan.db, "Signature folder")
        ->default_str("the system's when it holds databases, else our own test signatures");
    cmd->add_option("--max-scan-size", scan.maxScanSize, "Bytes the engine reads per message at most")
        ->default_str("the engine's");
    cmd->add_option("--max-file-size", scan.maxFileSize, "Largest message or inner file the engine scans")
        ->default_str("the engine's");
    cmd->add_option("--max-recursion", scan.maxRecursion, "Deepest nesting the engine follows")
        ->default_str("the engine's");
    cmd->add_option("--max-files", scan.maxFiles, "Most inner files the engine scans per message")
        ->default_str("the engine's");
    cmd->add_option("--max-scan-time", scan.maxScanTimeMs, "Milliseconds one scan may take")
        ->default_str("half the RPC time-out");
    cmd->add_flag("--builtin", scan.builtin, "The built-in scan for the test string instead of the engine");
  }
  for (auto* cmd : {m_pHook, m_pDemo}) {
    auto& h = cmd == m_pHook ? o.hook.hook : o.demo.hook;
    cmd->add_option("-i,--input", cmd == m_pHook ? o.hook.input : o.demo.input,
                    "A folder of .eml files, an mbox file or one message (default: built-in samples)");
    cmd->add_option("--dir", h.workDir, "Folder for the backing files")
        ->default_str("<runtime folder>/pool-1");
    cmd->add_option("-t,--threads", h.threads, "Hook worker threads")
        ->default_val(4)
        ->check(CLI::Range(1, 256));
    cmd->add_option("--holders", h.holders, "Per-message holders (default: one per thread)")
        ->check(CLI::Range(0, 1024));
    cmd->add_option("-r,--repeat", h.repeat, "Times the input is carried")
        ->default_val(1)
        ->check(CLI::PositiveNumber);
    cmd->add_option("--pool", h.poolId, "Pool id")->default_val(1);
    cmd->add_option("--max-message", h.maxMessage, "Largest content in bytes")->default_val(64u << 20);
  }
  m_pHook->add_flag("-q,--quiet", o.hook.quiet, "Print failures and the summary only");
  m_pHook->add_flag("--json", o.hook.json, "Also print the summary as one JSON line");
  m_pHook
      ->add_option("--retry-for", o.hook.hook.retryFor,
                   "Seconds a message waits for a service that is down or restarting (0: fail at once)")
      ->default_val(30)
      ->check(CLI::NonNegativeNumber);
  m_pHook->add_flag("!--no-verify", o.hook.hook.verify, "Skip checking each round trip byte for byte");
  m_pHook->add_option("--digest-log", o.hook.hook.digestLog,
                      "Append the digests of what each served message sent and got back to this file");
  m_pService->add_option("--digest-log", o.service.digestLog,
                         "Append the digests of what each served request read and wrote to this file");

#if defined(MAILHOOK_WITH_MILTER)
  m_pMilter = m_app.add_subcommand("milter", "Serve a mail server as its milter until SIGTERM");
  m_pMilter->add_option("--socket", o.milter.socket, "unix:/path, inet:PORT@HOST or inet6:PORT@HOST")
      ->required();
  m_pMilter->add_option("--socket-mode", m_sSocketMode, "Mode of a Unix socket (octal)")->default_str("0660");
  m_pMilter->add_option("--socket-group", o.milter.socketGroup, "Group of a Unix socket (the mail server's)");
  m_pMilter->add_option("--connections", o.milter.connections, "Messages carried at once")
      ->default_val(16)
      ->check(CLI::Range(1, 1024));
  m_pMilter->add_option("--dir", o.milter.workDir, "Folder for the backing files (the service's --dir)")
      ->default_str("<runtime folder>/pool-1");
  m_pMilter->add_option("--pool", o.milter.poolId, "Pool id")->default_val(1);
  const std::map<std::string, MilterOptions::Infected> infected{
      {"reject", MilterOptions::Infected::kReject},
      {"discard", MilterOptions::Infected::kDiscard},
      {"quarantine", MilterOptions::Infected::kQuarantine},
      {"tag", MilterOptions::Infected::kTag}};
  m_pMilter
      ->add_option("--on-infected", o.milter.onInfected,
                   "reject (550 5.7.1 naming the signature), discard, quarantine (the mail server's hold "
                   "queue) or tag (delivered with the scan header, content as the service left it)")
      ->transform(CLI::CheckedTransformer(infected))
      ->default_str("reject");
  m_pMilter
      ->add_option("--on-unscanned", m_sOnUnscanned,
                   "A message the engine gave up on: accept (with the scan header saying so) or tempfail")
      ->check(CLI::IsMember({"accept", "tempfail"}))
      ->default_str("accept");
  m_pMilter
      ->add_option("--on-unavailable", m_sOnUnavailable,
                   "No service or no answer: tempfail (451 4.7.1) or accept (with the scan header saying so)")
      ->check(CLI::IsMember({"accept", "tempfail"}))
      ->default_str("tempfail");
  m_pMilter->add_option("--max-message", o.milter.maxMessage, "Largest message scanned, in bytes")
      ->default_val(64u << 20);
  m_pMilter
      ->add_option("--on-oversize", m_sOnOversize,
                   "A larger message: accept (with the scan header saying so) or reject (552 5.3.4)")
      ->check(CLI::IsMember({"accept", "reject"}))
      ->default_str("accept");
  m_pMilter
      ->add_option("--retry-for", o.milter.retryFor, "Seconds a message waits for a service that is down")
      ->default_val(5)
      ->check(CLI::NonNegativeNumber);
  m_pMilter->add_flag("-q,--quiet", m_bMilterQuiet, "Warnings and errors only (as --log-level warning)");
#endif

  // Where the long-running parts say what they do, and how much.
  std::vector<CLI::App*> logged{m_pService, m_pDemo};
#if defined(MAILHOOK_WITH_MILTER)
  logged.push_back(m_pMilter);
#endif
  for (CLI::App* cmd : logged) {
    LogChoice& choice = m_logs[cmd];
    cmd->add_option("--log", choice.where,
                    "syslog (the mail facility), stderr or a file (reopened on SIGHUP)")
        ->default_str("stderr");
    cmd->add_option("--log-level", choice.level, "error, warning, notice, info (a line per message) or debug")
        ->check(CLI::IsMember({"error", "warning", "notice", "info", "debug"}))
        ->default_str("info; warning with --quiet");
  }

  m_pService->add_option("--metrics-file", o.service.metricsFile,
                         "Write the statistics as a Prometheus text file (node_exporter's textfile "
                         "collector), replaced whole every --metrics-interval seconds");
  m_pService->add_option("--metrics-interval", o.service.metricsInterval, "Seconds between two metrics files")
      ->default_val(5)
      ->check(CLI::Range(0.1, 3600.0));
  auto* stats = m_app.add_subcommand("stats", "Ask the running service for its statistics");
  stats->add_flag("--json", o.stats.json, "One JSON object instead of the table");

  m_pInspect = m_app.add_subcommand("inspect", "Print a backing file's shared header and its data");
  m_pInspect->add_option("path", o.inspectPath, "The backing file")->required();
}

LogLevel CCommandParser::LevelOf(CLI::App* cmd, bool quiet) {
  const std::string& level = m_logs[cmd].level;
  return !level.empty() ? *ParseLogLevel(level) : quiet ? LogLevel::kWarning : LogLevel::kInfo;
}

void CCommandParser::Parse(const std::vector<std::string>& args) {
  // CLI11 takes the arguments last first.
  m_app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  Finish();
}

void CCommandParser::Finish() {
  for (CLI::App* sub : m_app.get_subcommands()) o.subcommand = sub->get_name();
  const auto given = m_pConfig->as<std::vector<std::string>>();
  o.config = m_pConfig->count() > 0 && !given.empty() ? given.front() : "";
  if (o.service.workDir.empty()) o.service.workDir = DefaultPoolDir(kDefaultPoolId);
  o.service.log = m_logs[m_pService].where;
  o.service.logLevel = LevelOf(m_pService, m_bServiceQuiet);
  o.demo.log = m_logs[m_pDemo].where;
  o.demo.logLevel = m_logs[m_pDemo].level;
  if (o.hook.hook.workDir.empty()) o.hook.hook.workDir = DefaultPoolDir(o.hook.hook.poolId);
  if (o.demo.hook.workDir.empty()) o.demo.hook.workDir = DefaultPoolDir(o.demo.hook.poolId);
#if defined(MAILHOOK_WITH_MILTER)
  if (o.milter.workDir.empty()) o.milter.workDir = DefaultPoolDir(o.milter.poolId);
  o.milter.log = m_logs[m_pMilter].where;
  o.milter.logLevel = LevelOf(m_pMilter, m_bMilterQuiet);
  o.milter.tempfailUnscanned = m_sOnUnscanned == "tempfail";
  o.milter.acceptUnavailable = m_sOnUnavailable == "accept";
  o.milter.rejectOversize = m_sOnOversize == "reject";
  try {
    size_t end = 0;
    o.milter.socketMode = static_cast<uint32_t>(std::stoul(m_sSocketMode, &end, 8));
    if (end != m_sSocketMode.size()) throw std::invalid_argument("trailing");
  } catch (const std::exception&) {
    throw CLI::ValidationError("--socket-mode", m_sSocketMode + " is not an octal mode");
  }
#endif
}

std::string Trimmed(std::string_view text) {
  const size_t from = text.find_first_not_of(" \t\r");
  if (from == std::string_view::npos) return {};
  const size_t to = text.find_last_not_of(" \t\r");
  return std::string(text.substr(from, to - from + 1));
}

// The line of the configuration file that sets `key` (in [section] when one is named): CLI11
// says which setting it could not take, not where it is.
int LineOf(const std::string& path, const std::string& section, const std::string& key) {
  std::ifstream in(path);
  std::string current, line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string text = Trimmed(line);
    if (text.size() > 1 && text.front() == '[' && text.back() == ']') {
      current = Trimmed(std::string_view(text).substr(1, text.size() - 2));
      if (current.size() > 1 && current.front() == '[' && current.back() == ']')
        current = current.substr(1, current.size() - 2);
      continue;
    }
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    std::string name = Trimmed(text.substr(0, text.find('=')));
    if (name.size() > 1 && (name.front() == '"' || name.front() == '\'') && name.back() == name.front())
      name = name.substr(1, name.size() - 2);
    if (name == key && (section.empty() || current == section)) return number;
  }
  return 0;
}

// The file and line an error of the configuration file comes from, or nothing when the error is
// the command line's.
std::optional<std::string> ConfigPlace(const CommandOptions& o, const std::vector<std::string>& args,
                                       const CLI::Error& e) {
  if (o.config.empty()) return std::nullopt;
  const std::string what = e.what();
  std::string section, key;
  if (const std::string extras = "INI was not able to parse "; what.rfind(extras, 0) == 0) {
    // "service.max-scan-size", or a line CLI11 read as a flag ("[service" without its bracket).
    key = what.substr(extras.size());
    if (const size_t dot = key.find('.'); dot != std::string::npos && key.find('[') == std::string::npos) {
      section = key.substr(0, dot);
      key = key.substr(dot + 1);
    }
  } else if (const size_t dashes = what.find("--"); dashes != std::string::npos) {
    // A value CLI11 refused: "--threads: Value 0 not in range ...", given in the file and not as a flag.
    const size_t end = what.find_first_of(": ", dashes);
    const std::string flag = what.substr(dashes, end == std::string::npos ? std::string::npos : end - dashes);
    for (const auto& arg : args)
      if (arg == flag || arg.rfind(flag + "=", 0) == 0) return std::nullopt;
    key = flag.substr(2);
  } else {
    // Anything else of the file's: its name, unless the message has it already.
    if (what.find(o.config) != std::string::npos) return std::nullopt;
    return o.config;
  }
  const int line = LineOf(o.config, section, key);
  if (line == 0) return std::nullopt;
  return o.config + ":" + std::to_string(line);
}

std::string Explain(const CommandOptions& o, const std::vector<std::string>& args, const CLI::Error& e) {
  std::string what = e.what();
  if (const std::string extras = "INI was not able to parse "; what.rfind(extras, 0) == 0)
    what = "no such setting: " + what.substr(extras.size());
  if (const auto place = ConfigPlace(o, args, e)) return *place + ": " + what;
  return what;
}

// Parses into out; the CLI11 error escapes with out.config set to the file read, when one was.
void ParseInto(const std::vector<std::string>& args, CommandOptions& out, CCommandParser& parser) {
  try {
    parser.Parse(args);
  } catch (const CLI::Error&) {
    // CLI11 names the file only once it has read it whole: find out which one it was reading.
    if (out.config.empty()) {
      auto given = std::find(args.begin(), args.end(), "--config");
      if (given != args.end() && given + 1 != args.end())
        out.config = *(given + 1);
      else if (std::ifstream(kDefaultConfig))
        out.config = kDefaultConfig;
    }
    throw;
  }
  // CLI11 passes over a default file it cannot open: a file an administrator wrote and the
  // service's user cannot read is an error, not an empty configuration.
  std::error_code ec;
  if (out.config.empty() && std::filesystem::exists(kDefaultConfig, ec) && !std::ifstream(kDefaultConfig))
    throw CLI::FileError(std::string(kDefaultConfig) + ": cannot be read");
}

}  // namespace

std::optional<int> ParseCommand(const std::vector<std::string>& args, CommandOptions& out) {
  CCommandParser parser(out);
  try {
    ParseInto(args, out, parser);
    return std::nullopt;
  } catch (const CLI::Success& e) {
    return parser.App().exit(e);  // --help, --help-all
  } catch (const CLI::Error& e) {
    std::fprintf(stderr, "mailhook: %s\nRun with --help for more information.\n",
                 Explain(out, args, e).c_str());
    return e.get_exit_code();
  }
}

bool RereadCommand(const std::vector<std::string>& args, CommandOptions& out, std::string& error) {
  CommandOptions fresh;
  CCommandParser parser(fresh);
  try {
    ParseInto(args, fresh, parser);
  } catch (const CLI::Error& e) {
    error = Explain(fresh, args, e);
    return false;
  }
  out = std::move(fresh);
  return true;
}

}  // namespace mailhook
