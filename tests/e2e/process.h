// A program started with arguments and extra environment, its stdout on a pipe.
// process.cpp on POSIX, process_win.cpp on Windows.
#pragma once

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include <map>
#include <string>
#include <vector>

class Process {
 public:
  // withStderr: its stderr goes to the same pipe as its stdout.
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          bool withStderr = false);
  ~Process();  // kills the process if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool ReadLine(std::string& line);  // false at the end of its output
  bool WaitForLine(const std::string& want);
  std::string ReadAll();
  void Stop();  // as the user stops it: SIGTERM, or on Windows the command's stop request
  void Kill();  // at once: SIGKILL, or TerminateProcess
  int Wait();   // exit code, or -signal (-9 when killed on Windows)
#if defined(_WIN32)

 private:
  void* m_process = nullptr;
  void* m_out = nullptr;
  unsigned long m_pid = 0;
#else
  void Signal(int signal);
  pid_t Pid() const {
    return m_pid;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
#endif
  bool m_waited = false;
  int m_status = 0;
  std::string m_pending;
};
