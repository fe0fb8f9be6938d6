// What an administrator runs the command by: the service's log (a key=value line per message, to
// a file that logrotate moves, or to syslog's mail facility).
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/mailhook_run.h"
#include "tools/key_values.h"

namespace {

std::vector<std::string> Lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The key=value part of the lines that report a message (those with a seq=).
std::vector<std::map<std::string, std::string>> MessageLines(const std::vector<std::string>& lines) {
  std::vector<std::map<std::string, std::string>> out;
  for (const auto& line : lines) {
    const size_t at = line.find("]: seq=");
    if (at != std::string::npos) out.push_back(KeyValues(std::string_view(line).substr(at + 3)));
  }
  return out;
}

// Waits until a line of the file holds `want`; false after the deadline.
bool WaitForLogLine(const fs::path& path, const std::string& want, std::string* found = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& line : Lines(path))
      if (line.find(want) != std::string::npos) {
        if (found != nullptr) *found = line;
        return true;
      }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The text exposition format's rules, as a scraper applies them: every sample belongs to a family
// declared by one HELP and one TYPE line before it; names and label names are well formed; label
// values quoted with only \\, \" and \n escaped; values are numbers; no series twice; a histogram
// has cumulative buckets ending in le="+Inf", whose count is its _count, and a _sum. Returns the
// problems, one per line, and the samples by series.
std::string PrometheusProblems(const std::string& text, std::map<std::string, double>& samples) {
  std::string problems;
  std::map<std::string, std::string> types;
  std::set<std::string> helped;
  std::map<std::string, std::vector<std::pair<double, double>>> buckets;  // family: (le, count)
  const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .*)");
  const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped))");
  const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*)?\})? (-?[0-9.eE+-]+|\+Inf|-Inf|NaN))");
  std::istringstream in(text);
  std::string line;
  int number = 0;
  auto family = [&](const std::string& name) {
    for (const char* suffix : {"_bucket", "_sum", "_count"})
      if (name.ends_with(suffix) && types.count(name.substr(0, name.size() - std::strlen(suffix))) &&
          types[name.substr(0, name.size() - std::strlen(suffix))] == "histogram")
        return name.substr(0, name.size() - std::strlen(suffix));
    return name;
  };
  while (std::getline(in, line)) {
    ++number;
    std::smatch m;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line.empty()) continue;
    if (std::regex_match(line, m, help)) {
      if (!helped.insert(m[1]).second) problems += where + "second HELP\n";
    } else if (std::regex_match(line, m, type)) {
      const auto later = samples.lower_bound(m[1]);
      if (types.count(m[1]) || (later != samples.end() && later->first.rfind(m[1], 0) == 0))
        problems += where + "TYPE twice or after samples\n";
      types[m[1]] = m[2];
    } else if (line[0] == '#') {
      problems += where + "a comment that is neither HELP nor TYPE\n";
    } else if (std::regex_match(line, m, sample)) {
      const std::string name = m[1], series = name + m[2].str(), fam = family(name);
      if (!types.count(fam) || !helped.count(fam)) problems += where + "no TYPE or HELP for " + fam + "\n";
      if (types[fam] == "counter" && !name.ends_with("_total"))
        problems += where + "counter without _total\n";
      const double value = m[4] == "+Inf" ? INFINITY : std::stod(m[4]);
      if (!samples.emplace(series, value).second) problems += where + "series twice\n";
      if (name.ends_with("_bucket")) {
        std::smatch le;
        const std::string labels = m[3];
        if (!std::regex_search(labels, le, std::regex(R"re(le="([^"]+)")re")))
          problems += where + "bucket without le\n";
        else
          buckets[fam].emplace_back(le[1] == "+Inf" ? INFINITY : std::stod(le[1]), value);
      }
    } else {
      problems += where + "not a sample: " + line + "\n";
    }
  }
  for (const auto& [fam, kind] : types) {
    if (kind != "histogram") continue;
    const auto& b = buckets[fam];
    if (b.empty() || !std::isinf(b.back().first)) problems += fam + ": no +Inf bucket\n";
    for (size_t i = 1; i < b.size(); ++i)
      if (b[i].first <= b[i - 1].first || b[i].second < b[i - 1].second)
        problems += fam + ": buckets not cumulative\n";
    if (!b.empty() && samples[fam + "_count"] != b.back().second)
      problems += fam + ": _count is not the +Inf bucket\n";
    if (!samples.count(fam + "_sum")) problems += fam + ": no _sum\n";
  }
  return problems;
}

class Operate : public MailhookRun {
 protected:
  void SetUp() override { m_serviceArgs = {"--db", MAILHOOK_SIGNATURES}; }
  fs::path Config(const std::string& text) {
    const fs::path path = m_dir.Path() / "mailhook.conf";
    std::ofstream(path) << text;
    return path;
  }
};

}  // namespace

// One line per message carried, each parsing whole, with what the hook was told; after
// logrotate moves the file and sends SIGHUP the lines go to a new file; a level above info
// leaves the messages out; a log that cannot be opened stops the start.
TEST_F(Operate, ServiceLogsAParseableLinePerMessage) {
  const fs::path log = m_dir.Path() / "mailhook.log";
  auto service = StartService({"--log", log.string(), "--log-level", "info"});
  ExpectCleanRun({"--repeat", "2"});

  auto lines = MessageLines(Lines(log));
  ASSERT_EQ(lines.size(), 8u);
  std::set<std::string> seqs;
  int infected = 0;
  for (auto& kv : lines) {
    ASSERT_FALSE(kv.empty());
    seqs.insert(kv["seq"]);
    EXPECT_GT(std::stoull(kv.at("size")), 0u);
    EXPECT_GE(std::stod(kv.at("ms")), std::stod(kv.at("scan_ms")));
    if (kv["verdict"] == "infected") {
      ++infected;
      EXPECT_EQ(kv["signature"], "EICAR-Test-File.UNOFFICIAL");
    } else {
      EXPECT_EQ(kv["verdict"], "clean");
      EXPECT_EQ(kv.count("signature"), 0u);
    }
  }
  EXPECT_EQ(seqs.size(), 8u);  // every message once
  EXPECT_EQ(infected, 2);      // the built-in set has one test file

  fs::rename(log, m_dir.Path() / "mailhook.log.1");
  service->Signal(SIGHUP);
  std::string said;
  ASSERT_TRUE(service->ReadLine(said));
  EXPECT_TRUE(said.starts_with("reloaded")) << said;
  ExpectCleanRun({});
  EXPECT_EQ(MessageLines(Lines(m_dir.Path() / "mailhook.log.1")).size(), 8u);
  EXPECT_EQ(MessageLines(Lines(log)).size(), 4u);
  StopService(*service);

  const fs::path quiet = m_dir.Path() / "quiet.log";
  service = StartService({"--log", quiet.string(), "--log-level", "notice"});
  ExpectCleanRun({});
  StopService(*service);
  const auto noticeLines = Lines(quiet);
  EXPECT_TRUE(MessageLines(noticeLines).empty());
  ASSERT_FALSE(noticeLines.empty());
  EXPECT_NE(noticeLines.back().find("stopped; 4 messages scanned"), std::string::npos) << noticeLines.back();

  Process refused({MAILHOOK_CLI, "service", "--log", (m_dir.Path() / "no" / "x.log").string()}, m_env,
                  /*withStderr=*/true);
  said = refused.ReadAll();
  EXPECT_EQ(refused.Wait(), 2);
  EXPECT_NE(said.find("cannot open the log file"), std::string::npos) << said;
}

// --log syslog: the lines reach /dev/log with the mail facility, as "mailhook/service[pid]".
// /dev/log is this test's socket in a private mount namespace (root only: it mounts).
TEST_F(Operate, SyslogLinesGoToTheMailFacility) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private /dev/log";
  const fs::path socketPath = m_dir.Path() / "log.sock";
  const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string wrapper =
      "exec unshare -m sh -c 'mount -t tmpfs none /dev && touch /dev/log && mount --bind " +
      socketPath.string() + " /dev/log && exec \"$0\" \"$@\"' \"$0\" \"$@\"";
  auto service = StartService({"--log", "syslog", "--log-level", "info"}, "", wrapper);
  ExpectCleanRun({});
  StopService(*service);

  // Datagrams as glibc sends them: "<PRI>Mon  d hh:mm:ss mailhook/service[pid]: text".
  std::vector<std::string> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) {
      if (!got.empty() && got.back().find("stopped;") != std::string::npos) break;
      continue;
    }
    char buf[2048];
    const ssize_t n = recv(sock, buf, sizeof buf, 0);
    if (n > 0) got.emplace_back(buf, static_cast<size_t>(n));
  }
  close(sock);
  int messages = 0;
  for (const auto& datagram : got) {
    SCOPED_TRACE(datagram);
    EXPECT_NE(datagram.find(" mailhook/service["), std::string::npos);
    if (datagram.find("]: seq=") == std::string::npos) continue;
    ++messages;
    EXPECT_TRUE(datagram.starts_with("<22>"));  // mail (2) * 8 + info (6)
  }
  EXPECT_EQ(messages, 4);
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(got.front().starts_with("<21>")) << got.front();  // the start-up line: mail.notice
}

// The file sets what flags do not, flags win over it, and SIGHUP reads it again: the log level and
// the engine's limits change, a setting that cannot change is named as kept, and a file that no
// longer parses leaves everything as it was, saying where. At start, a --config that is missing
// or malformed stops the command with the file (and line) named.
TEST_F(Operate, ConfigFileUnderFlagsReadAgainOnSighup) {
  const fs::path log = m_dir.Path() / "service.log";
  const std::string head = "# written by the test\n[service]\nlog = \"" + log.string() + "\"\n";
  const fs::path config = Config(head + "log-level = notice\nmax-files = 7\n[hook]\nthreads = 2\n");
  auto service = StartService({"--config", config.string()});
  ExpectCleanRun({"--config", config.string()});
  std::string line;
  ASSERT_TRUE(WaitForLogLine(log, "scanning with", &line));
  EXPECT_NE(line.find("max-files 7"), std::string::npos) << line;
  EXPECT_TRUE(MessageLines(Lines(log)).empty());  // notice: no message lines

  Config(head + "log-level = info\nmax-files = 9\ndir = /elsewhere\n");
  service->Signal(SIGHUP);
  std::string said;
  ASSERT_TRUE(service->ReadLine(said));
  EXPECT_TRUE(said.starts_with("reloaded: ")) << said;
  EXPECT_NE(said.find("max-files 9"), std::string::npos) << said;
  ASSERT_TRUE(WaitForLogLine(log, "log-level notice -> info", &line));
  EXPECT_NE(line.find("kept until a restart: dir"), std::string::npos) << line;
  ExpectCleanRun({});
  EXPECT_EQ(MessageLines(Lines(log)).size(), 4u);

  Config(head + "log-level = warning\nmax-files = many\n");
  service->Signal(SIGHUP);
  ASSERT_TRUE(service->ReadLine(said));
  ASSERT_TRUE(WaitForLogLine(log, "reload: the configuration does not read", &line));
  EXPECT_NE(line.find(config.string() + ":5:"), std::string::npos) << line;
  ExpectCleanRun({});
  EXPECT_EQ(MessageLines(Lines(log)).size(), 8u);  // still info
  StopService(*service);

  // A flag wins over the file, at start and at a reload.
  Config(head + "log-level = info\n");
  service = StartService({"--config", config.string(), "--log-level", "warning"});
  service->Signal(SIGHUP);
  ASSERT_TRUE(service->ReadLine(said));
  ExpectCleanRun({});
  StopService(*service);
  EXPECT_EQ(MessageLines(Lines(log)).size(), 8u);

  auto refused = [&](const std::vector<std::string>& args, const std::string& want) {
    std::vector<std::string> argv{MAILHOOK_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, m_env, /*withStderr=*/true);
    const std::string out = p.ReadAll();
    EXPECT_NE(p.Wait(), 0) << out;
    EXPECT_NE(out.find(want), std::string::npos) << out;
    EXPECT_EQ(out.find("ready"), std::string::npos) << out;
  };
  refused({"service", "--config", (m_dir.Path() / "none.conf").string()}, "none.conf");
  Config("[service]\nlog-level = info\nmax-sacn-size = 10\n");
  refused({"--config", config.string(), "service"},
          config.string() + ":3: no such setting: service.max-sacn-size");
  Config("[hook]\nthreads = 0\n");
  refused({"hook", "--config", config.string()}, config.string() + ":2: --threads");
}

// libmilter stops on SIGHUP in a thread of its own; the milter keeps SIGHUP for a reload: after a
// burst of them it has taken the new policies and the new level, still serves, and stops on SIGTERM
// with status 0.
TEST_F(Operate, MilterReloadsOnSighupAndKeepsServing) {
  if (!MAILHOOK_MILTER) GTEST_SKIP() << "the command is built without libmilter";
  const fs::path log = m_dir.Path() / "milter.log";
  const std::string head = "[milter]\nlog = \"" + log.string() +
                           "\"\nsocket = unix:" + (m_dir.Path() / "milter.sock").string() + "\n";
  const fs::path config = Config(head + "on-infected = reject\n");
  auto milter = std::make_unique<Process>(
      std::vector<std::string>{MAILHOOK_CLI, "milter", "--config", config.string()}, m_env);
  ASSERT_TRUE(milter->WaitForLine("ready"));
  Config(head + "on-infected = quarantine\non-unavailable = accept\nlog-level = debug\nconnections = 3\n");
  for (int i = 0; i < 5; ++i) milter->Signal(SIGHUP);
  std::string line;
  ASSERT_TRUE(WaitForLogLine(log, "reloaded", &line));
  EXPECT_NE(line.find("log-level info -> debug"), std::string::npos) << line;
  EXPECT_NE(line.find("on-infected quarantine"), std::string::npos) << line;
  EXPECT_NE(line.find("on-unavailable accept"), std::string::npos) << line;
  EXPECT_NE(line.find("kept until a restart: connections"), std::string::npos) << line;
  // Still listening: a connection to its socket is taken.
  const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (m_dir.Path() / "milter.sock").c_str());
  EXPECT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  close(sock);
  milter->Stop();
  EXPECT_EQ(milter->Wait(), 0);
  EXPECT_TRUE(WaitForLogLine(log, "]: stopped"));
}

// On a terminal the hook keeps a progress line below its results, redrawn in place; through a
// pipe, with --quiet or with --json it prints nothing of the kind. The terminal is script(1)'s.
TEST_F(Operate, HookProgressOnATerminalOnly) {
  auto service = StartService();
  const std::string hook = std::string(MAILHOOK_CLI) + " hook --repeat 50 --threads 2";
  auto onTerminal = [&](const std::string& extra) {
    Process p({"/usr/bin/script", "-q", "-e", "-c", hook + extra, "/dev/null"}, m_env);
    std::string out = p.ReadAll();
    EXPECT_EQ(p.Wait(), 0) << out;
    return out;
  };
  const std::string shown = onTerminal("");
  EXPECT_NE(shown.find("\r\033[K200/200 messages"), std::string::npos) << shown;
  EXPECT_NE(shown.find("messages/s"), std::string::npos) << shown;
  EXPECT_NE(shown.find(" 0 failed"), std::string::npos) << shown;
  // The line is gone before the summary.
  EXPECT_NE(shown.find("\r\033[K200 messages (0 failed"), std::string::npos) << shown;
  for (const char* quiet : {" --quiet", " --json"}) {
    const std::string plain = onTerminal(quiet);
    EXPECT_EQ(plain.find("\033[K"), std::string::npos) << quiet << plain;
    EXPECT_NE(plain.find("200 messages (0 failed"), std::string::npos) << quiet << plain;
  }
  Run piped = RunHook({"--repeat", "50"});
  EXPECT_EQ(piped.output.find("\033[K"), std::string::npos) << piped.output;
  StopService(*service);
}

// `mailhook stats` against the running service shows the run that just went through it; the
// metrics file says the same and parses as Prometheus text (and passes promtool where Debian's
// prometheus package is installed); with no service, stats says so.
TEST_F(Operate, StatsShowTheRunAndTheMetricsFileParses) {
  const fs::path metrics = m_dir.Path() / "mailhook.prom";
  auto service = StartService({"--metrics-file", metrics.string(), "--metrics-interval", "0.2"});
  Run run = RunHook({"--repeat", "3", "--threads", "2"});
  ASSERT_EQ(run.rc, 0) << run.output;
  auto stats = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv{MAILHOOK_CLI, "stats"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, m_env, /*withStderr=*/true);
    std::string out = p.ReadAll();
    return std::make_pair(p.Wait(), out);
  };
  auto [rc, json] = stats({"--json"});
  ASSERT_EQ(rc, 0) << json;
  auto number = [&json = json](const std::string& path) {
    std::smatch m;
    const bool found = std::regex_search(json, m, std::regex(path + R"(":([0-9.]+))"));
    EXPECT_TRUE(found) << path << " in " << json;
    return found ? std::stod(m[1]) : -1;
  };
  EXPECT_EQ(number(R"("clean)"), 9);
  EXPECT_EQ(number(R"("infected)"), 3);
  EXPECT_EQ(number(R"("unscanned)"), 0);
  EXPECT_EQ(number(R"("answers":\{"ok)"), 12);
  EXPECT_EQ(number(R"("bytes)"), run.summary["bytes"]);
  EXPECT_EQ(number(R"("registrations)"), 1);
  EXPECT_EQ(number(R"("pools)"), 1);
  EXPECT_EQ(number(R"("resources)"), 6);  // two holders of three resources
  EXPECT_EQ(number(R"("in_flight)"), 0);
  EXPECT_EQ(number(R"("scan_ms":\{"count)"), 12);
  auto [tableRc, table] = stats({});
  EXPECT_EQ(tableRc, 0);
  EXPECT_NE(table.find("clean 9, infected 3, unscanned 0"), std::string::npos) << table;

  // The file is rewritten on its own: wait for one written after the run.
  std::map<std::string, double> samples;
  std::string text, problems;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    text = mhtest::ReadFile(metrics);
    samples.clear();
    problems = PrometheusProblems(text, samples);
  } while (samples["mailhook_scan_seconds_count"] != 12 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(problems, "") << text;
  EXPECT_EQ(samples["mailhook_messages_total{verdict=\"infected\"}"], 3) << text;
  EXPECT_EQ(samples["mailhook_requests_total{answer=\"ok\"}"], 12) << text;
  EXPECT_EQ(samples["mailhook_scanned_bytes_total"], run.summary["bytes"]) << text;
  EXPECT_EQ(samples["mailhook_scan_seconds_count"], 12) << text;
  EXPECT_EQ(fs::status(metrics).permissions() & fs::perms::others_read, fs::perms::others_read);
  if (fs::exists("/usr/bin/promtool")) {
    Process promtool({"/bin/sh", "-c", "/usr/bin/promtool check metrics < " + metrics.string()}, m_env, true);
    const std::string said = promtool.ReadAll();
    EXPECT_EQ(promtool.Wait(), 0) << said;
  }
  // The rules catch what a scraper refuses.
  std::map<std::string, double> ignored;
  EXPECT_NE(PrometheusProblems("mailhook_x_total 1\n", ignored), "");
  EXPECT_NE(PrometheusProblems("# HELP a b\n# TYPE a gauge\na{l=\"x} 1\n", ignored), "");
  StopService(*service);

  auto [goneRc, gone] = stats({});
  EXPECT_EQ(goneRc, 2);
  EXPECT_NE(gone.find("service unavailable"), std::string::npos) << gone;
}
