// mailhook: runs the master scanning service, the mail server's hook (a command carrying files, or
// a milter for a real mail server), a demo of both, and an inspector for backing files.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <string>

#include "common.h"
#include "demo.h"
#include "hook.h"
#include "inspect.h"
#include "service.h"
#if defined(MAILHOOK_WITH_MILTER)
#include "milter.h"
#endif

int main(int argc, char** argv) {
#if defined(SIGPIPE)  // POSIX only: Windows reports a closed pipe as an error code
  // A service that dies mid-request must show up as an error, not kill the hook.
  signal(SIGPIPE, SIG_IGN);
#endif

  CLI::App app{
      "mailhook: carries e-mail messages between a mail server's hook and a scanning service "
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
    cmd->add_option("--dir", o.workDir, "Folder for the backing files")
        ->default_str("<runtime folder>/pool-1");
    cmd->add_option("-t,--threads", o.threads, "Hook worker threads")
        ->default_val(4)
        ->check(CLI::Range(1, 256));
    cmd->add_option("--holders", o.holders, "Per-message holders (default: one per thread)")
        ->check(CLI::Range(0, 1024));
    cmd->add_option("-r,--repeat", o.repeat, "Times the input is carried")
        ->default_val(1)
        ->check(CLI::PositiveNumber);
    cmd->add_option("--pool", o.poolId, "Pool id")->default_val(1);
    cmd->add_option("--max-message", o.maxMessage, "Largest content in bytes")->default_val(64u << 20);
  }
  hookCmd->add_flag("-q,--quiet", hook.quiet, "Print failures and the summary only");
  hookCmd->add_flag("--json", hook.json, "Also print the summary as one JSON line");
  hookCmd
      ->add_option("--retry-for", hook.hook.retryFor,
                   "Seconds a message waits for a service that is down or restarting (0: fail at once)")
      ->default_val(30)
      ->check(CLI::NonNegativeNumber);
  hookCmd->add_flag("!--no-verify", hook.hook.verify, "Skip checking each round trip byte for byte");
  hookCmd->add_option("--digest-log", hook.hook.digestLog,
                      "Append the digests of what each served message sent and got back to this file");
  serviceCmd->add_option("--digest-log", service.digestLog,
                         "Append the digests of what each served request read and wrote to this file");

#if defined(MAILHOOK_WITH_MILTER)
  mailhook::MilterOptions milter;
  auto* milterCmd = app.add_subcommand("milter", "Serve a mail server as its milter until SIGTERM");
  milterCmd->add_option("--socket", milter.socket, "unix:/path, inet:PORT@HOST or inet6:PORT@HOST")
      ->required();
  std::string socketMode = "0660";
  milterCmd->add_option("--socket-mode", socketMode, "Mode of a Unix socket (octal)")->default_str("0660");
  milterCmd->add_option("--socket-group", milter.socketGroup, "Group of a Unix socket (the mail server's)");
  milterCmd->add_option("--connections", milter.connections, "Messages carried at once")
      ->default_val(16)
      ->check(CLI::Range(1, 1024));
  milterCmd->add_option("--dir", milter.workDir, "Folder for the backing files (the service's --dir)")
      ->default_str("<runtime folder>/pool-1");
  milterCmd->add_option("--pool", milter.poolId, "Pool id")->default_val(1);
  const std::map<std::string, mailhook::MilterOptions::Infected> infected{
      {"reject", mailhook::MilterOptions::Infected::kReject},
      {"discard", mailhook::MilterOptions::Infected::kDiscard},
      {"quarantine", mailhook::MilterOptions::Infected::kQuarantine},
      {"tag", mailhook::MilterOptions::Infected::kTag}};
  milterCmd
      ->add_option("--on-infected", milter.onInfected,
                   "reject (550 5.7.1 naming the signature), discard, quarantine (the mail server's hold "
                   "queue) or tag (delivered with the scan header, content as the service left it)")
      ->transform(CLI::CheckedTransformer(infected))
      ->default_str("reject");
  std::string onUnscanned = "accept", onUnavailable = "tempfail", onOversize = "accept";
  milterCmd
      ->add_option("--on-unscanned", onUnscanned,
                   "A message the engine gave up on: accept (with the scan header saying so) or tempfail")
      ->check(CLI::IsMember({"accept", "tempfail"}))
      ->default_str("accept");
  milterCmd
      ->add_option("--on-unavailable", onUnavailable,
                   "No service or no answer: tempfail (451 4.7.1) or accept (with the scan header saying so)")
      ->check(CLI::IsMember({"accept", "tempfail"}))
      ->default_str("tempfail");
  milterCmd->add_option("--max-message", milter.maxMessage, "Largest message scanned, in bytes")
      ->default_val(64u << 20);
  milterCmd
      ->add_option("--on-oversize", onOversize,
                   "A larger message: accept (with the scan header saying so) or reject (552 5.3.4)")
      ->check(CLI::IsMember({"accept", "reject"}))
      ->default_str("accept");
  milterCmd->add_option("--retry-for", milter.retryFor, "Seconds a message waits for a service that is down")
      ->default_val(5)
      ->check(CLI::NonNegativeNumber);
  milterCmd->add_flag("-q,--quiet", milter.quiet, "No start-up lines");
#endif

  std::string inspectPath;
  auto* inspectCmd = app.add_subcommand("inspect", "Print a backing file's shared header and its data");
  inspectCmd->add_option("path", inspectPath, "The backing file")->required();

  CLI11_PARSE(app, argc, argv);

  if (service.workDir.empty()) service.workDir = mailhook::DefaultPoolDir(mailhook::kDefaultPoolId);
  if (hook.hook.workDir.empty()) hook.hook.workDir = mailhook::DefaultPoolDir(hook.hook.poolId);
  if (demo.hook.workDir.empty()) demo.hook.workDir = mailhook::DefaultPoolDir(demo.hook.poolId);

#if defined(MAILHOOK_WITH_MILTER)
  if (*milterCmd) {
    if (milter.workDir.empty()) milter.workDir = mailhook::DefaultPoolDir(milter.poolId);
    milter.tempfailUnscanned = onUnscanned == "tempfail";
    milter.acceptUnavailable = onUnavailable == "accept";
    milter.rejectOversize = onOversize == "reject";
    try {
      milter.socketMode = static_cast<uint32_t>(std::stoul(socketMode, nullptr, 8));
    } catch (const std::exception&) {
      std::fprintf(stderr, "mailhook milter: --socket-mode %s is not an octal mode\n", socketMode.c_str());
      return 2;
    }
    return mailhook::RunMilter(milter);
  }
#endif
  if (*serviceCmd) return mailhook::RunService(service);
  if (*hookCmd) return mailhook::RunHookCommand(hook);
  if (*demoCmd) return mailhook::RunDemo(demo);
  if (*inspectCmd) return mailhook::RunInspect(inspectPath);
  return 2;
}
