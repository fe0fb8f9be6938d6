// A program started with arguments and extra environment, its stdout on a pipe.
#pragma once

#include <sys/types.h>

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
  void Signal(int signal);
  int Wait();  // exit code, or -signal
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  bool m_waited = false;
  int m_status = 0;
  std::string m_pending;
};
