// The fixture of the suites that run the mailhook command's service and hook as real processes
// in a private runtime folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace fs = std::filesystem;

// A path of the Linux host as the program sees it: under Wine the host's root is drive Z:.
inline std::string HostPath(std::string path) {
#if defined(_WIN32)
  path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

// The numbers of the hook's JSON summary line; empty without one.
inline std::map<std::string, double> Summary(const std::string& output) {
  std::map<std::string, double> out;
  std::smatch m;
  if (!std::regex_search(output, m, std::regex(R"(\{"messages".*\})"))) return out;
  std::string json = m.str();
  std::regex field(R"re("(\w+)":([0-9.]+))re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), field); it != std::sregex_iterator(); ++it)
    out[(*it)[1]] = std::stod((*it)[2]);
  return out;
}

class MailhookRun : public ::testing::Test {
 protected:
  fs::path Runtime() const { return m_dir.Path() / "rt"; }
  fs::path Pool() const { return Runtime() / "pool-1"; }

  // wrapper: a shell line that execs the command ("$0" "$@"), to set limits first.
  std::unique_ptr<Process> StartService(std::vector<std::string> args = {}, const std::string& fault = "",
                                        const std::string& wrapper = "") {
    auto env = m_env;
    if (!fault.empty()) env["MAILHOOK_FAULT"] = fault;
    args.insert(args.begin(), {HostPath(MAILHOOK_CLI), "service", "--quiet"});
    args.insert(args.end(), m_serviceArgs.begin(), m_serviceArgs.end());
    if (!wrapper.empty()) args.insert(args.begin(), {"/bin/sh", "-c", wrapper});
    auto p = std::make_unique<Process>(args, env);
    EXPECT_TRUE(p->WaitForLine("ready"));
    return p;
  }
  std::unique_ptr<Process> StartHook(std::vector<std::string> args, const std::string& wrapper = "") {
    args.insert(args.begin(), {HostPath(MAILHOOK_CLI), "hook"});
    if (!m_hookRetryFor.empty()) args.insert(args.begin() + 2, {"--retry-for", m_hookRetryFor});
    if (!wrapper.empty()) args.insert(args.begin(), {"/bin/sh", "-c", wrapper});
    return std::make_unique<Process>(args, m_env);
  }
  // A hook run to its end with --json: its exit code, output and summary numbers.
  struct Run {
    int rc;
    std::string output;
    std::map<std::string, double> summary;
  };
  Run RunHook(std::vector<std::string> args) {
    args.push_back("--json");
    auto hook = StartHook(args);
    Run r{0, hook->ReadAll(), {}};
    r.rc = hook->Wait();
    r.summary = Summary(r.output);
    return r;
  }
  // A hook run that must carry everything.
  void ExpectCleanRun(std::vector<std::string> args) {
    Run r = RunHook(std::move(args));
    EXPECT_EQ(r.rc, 0) << r.output;
    EXPECT_GT(r.summary["messages"], 0) << r.output;
    EXPECT_EQ(r.summary["failed"], 0) << r.output;
  }
  static void StopService(Process& service) {
    service.Stop();
    EXPECT_EQ(service.Wait(), 0);  // a clean stop: nothing made it die
  }

  // A message in the scratch folder (the name may have a folder): a body of plain lines of about
  // `bytes` bytes that never looks infected, after `body`.
  fs::path Eml(const std::string& name, size_t bytes, const std::string& body = "") {
    const fs::path path = m_dir.Path() / name;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << "From: a@example.org\r\nTo: b@example.org\r\nSubject: " << name << "\r\n\r\n" << body;
    for (size_t i = 0; i * 76 < bytes; ++i) out << std::string(74, static_cast<char>('a' + i % 26)) << "\r\n";
    return path;
  }

  mhtest::TempDir m_dir;
  std::map<std::string, std::string> m_env{{"MAILHOOK_RUNTIME_DIR", Runtime().string()},
                                           {"MAILHOOK_RPC_TIMEOUT_MS", "5000"},
                                           {"MAILHOOK_LOG", ""}};
  std::vector<std::string> m_serviceArgs;  // after each service's own
  std::string m_hookRetryFor;              // empty: the command's default
};
