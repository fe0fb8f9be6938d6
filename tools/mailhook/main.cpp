// mailhook: runs the master scanning service, the mail server's hook, a demo of both, and an
// inspector for backing files.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "common.h"
#include "demo.h"
#include "hook.h"
#include "inspect.h"
#include "service.h"

int main(int argc, char** argv) {
#if defined(SIGPIPE)  // POSIX only: Windows reports a closed pipe as an error code
  // A service that dies mid-request must show up as an error, not kill the hook.
  signal(SIGPIPE, SIG_IGN);
#endif

  CLI::App app{"mailhook: carries e-mail messages between a mail server's hook and a scanning service "
               "through shared memory"};
  app.require_subcommand(1);

  mailhook::ServiceOptions service;
  auto* serviceCmd = app.add_subcommand("service", "Run the master scanning service until SIGINT or SIGTERM");
  serviceCmd->add_option("--dir", service.workDir, "Folder the hook's backing files must lie in")
      ->default_str("<runtime folder>/pool-1");
  serviceCmd->add_flag("-q,--quiet", service.quiet, "No messages on stderr");

  mailhook::HookCommandOptions hook;
  auto* hookCmd = app.add_subcommand("hook", "Carry messages through a running service");
  mailhook::DemoOptions demo;
  auto* demoCmd = app.add_subcommand("demo", "Start a service and carry the built-in messages through it");
  // The engine's options, for the service and passed on by the demo to its service.
  for (auto* cmd : {serviceCmd, demoCmd}) {
    auto& scan = cmd == serviceCmd ? service.scan : demo.scan;
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
  for (auto* cmd : {hookCmd, demoCmd}) {
    auto& o = cmd == hookCmd ? hook.hook : demo.hook;
    cmd->add_option("-i,--input", cmd == hookCmd ? hook.input : demo.input,
                    "A folder of .eml files, an mbox file or one message (default: built-in samples)");
    cmd->add_option("--dir", o.workDir, "Folder for the backing files")->default_str("<runtime folder>/pool-1");
    cmd->add_option("-t,--threads", o.threads, "Hook worker threads")->default_val(4)->check(CLI::Range(1, 256));
    cmd->add_option("--holders", o.holders, "Per-message holders (default: one per thread)")->check(CLI::Range(0, 1024));
    cmd->add_option("-r,--repeat", o.repeat, "Times the input is carried")->default_val(1)->check(CLI::PositiveNumber);
    cmd->add_option("--pool", o.poolId, "Pool id")->default_val(1);
    cmd->add_option("--max-message", o.maxMessage, "Largest content in bytes")->default_val(64u << 20);
  }
  hookCmd->add_flag("-q,--quiet", hook.quiet, "Print failures and the summary only");
  hookCmd->add_flag("--json", hook.json, "Also print the summary as one JSON line");
  hookCmd->add_option("--retry-for", hook.hook.retryFor,
                      "Seconds a message waits for a service that is down or restarting (0: fail at once)")
      ->default_val(30)
      ->check(CLI::NonNegativeNumber);
  hookCmd->add_flag("!--no-verify", hook.hook.verify, "Skip checking each round trip byte for byte");
  hookCmd->add_option("--digest-log", hook.hook.digestLog,
                      "Append the digests of what each served message sent and got back to this file");
  serviceCmd->add_option("--digest-log", service.digestLog,
                         "Append the digests of what each served request read and wrote to this file");

  std::string inspectPath;
  auto* inspectCmd = app.add_subcommand("inspect", "Print a backing file's shared header and its data");
  inspectCmd->add_option("path", inspectPath, "The backing file")->required();

  CLI11_PARSE(app, argc, argv);

  if (service.workDir.empty()) service.workDir = mailhook::DefaultWorkDir(mailhook::kDefaultPoolId);
  if (hook.hook.workDir.empty()) hook.hook.workDir = mailhook::DefaultWorkDir(hook.hook.poolId);
  if (demo.hook.workDir.empty()) demo.hook.workDir = mailhook::DefaultWorkDir(demo.hook.poolId);

  if (*serviceCmd) return mailhook::RunService(service);
  if (*hookCmd) return mailhook::RunHookCommand(hook);
  if (*demoCmd) return mailhook::RunDemo(demo);
  if (*inspectCmd) return mailhook::RunInspect(inspectPath);
  return 2;
}
