// A helper program (plcsim, kelgate) started by a benchmark: its standard
// output on a pipe the benchmark reads, its standard error into a file, and
// stopped with SIGTERM when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

class Child {
 public:
  // args[0] is the program's path; errorFile receives its standard error
  // ("/dev/null" to drop it). Throws std::runtime_error when it cannot start.
  Child(std::vector<std::string> args, const std::string& errorFile);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of its standard output, without the newline; empty at the
  // end of the output.
  std::string ReadLine();
  // The rest of its standard output, to its end.
  std::string ReadAll();
  // Sends the signal and waits for the program's end; returns its exit
  // status (128 + signal when a signal ended it), or -1 when already stopped.
  int Stop(int signal);
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// The folder of the running program, with a final '/': the tools are built
// beside each other.
std::string ProgramFolder();

}  // namespace bench
