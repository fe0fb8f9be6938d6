// mailhook: runs the master scanning service, the mail server's hook (a command carrying files, or
// a milter for a real mail server), a demo of both, and an inspector for backing files.
#include <signal.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "inspect.h"

int main(int argc, char** argv) {
#if defined(SIGPIPE)  // POSIX only: Windows reports a closed pipe as an error code
  // A service that dies mid-request must show up as an error, not kill the hook.
  signal(SIGPIPE, SIG_IGN);
#endif
  const std::vector<std::string> args(argv + 1, argv + argc);
  mailhook::CommandOptions o;
  if (auto done = mailhook::ParseCommand(args, o)) return *done;
  // The long-running subcommands read the file again on SIGHUP, with the same flags over it.
  o.service.reread = [args](mailhook::ServiceOptions& fresh, std::string& error) {
    mailhook::CommandOptions again;
    if (!mailhook::RereadCommand(args, again, error)) return false;
    fresh = again.service;
    return true;
  };
#if defined(MAILHOOK_WITH_MILTER)
  o.milter.reread = [args](mailhook::MilterOptions& fresh, std::string& error) {
    mailhook::CommandOptions again;
    if (!mailhook::RereadCommand(args, again, error)) return false;
    fresh = again.milter;
    return true;
  };
  if (o.subcommand == "milter") return mailhook::RunMilter(o.milter);
#endif
  if (o.subcommand == "service") return mailhook::RunService(o.service);
  if (o.subcommand == "hook") return mailhook::RunHookCommand(o.hook);
  if (o.subcommand == "demo") return mailhook::RunDemo(o.demo);
  if (o.subcommand == "inspect") return mailhook::RunInspect(o.inspectPath);
  if (o.subcommand == "stats") return mailhook::RunStatsCommand(o.stats);
  return 2;
}
