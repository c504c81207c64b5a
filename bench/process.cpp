#include "bench/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace bench {

Child::Child(std::vector<std::string> args, const std::string& errorFile) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start " + args[0]);
  }
  out_ = out[0];
}

Child::~Child() {
  Stop(SIGTERM);
  if (out_ >= 0) close(out_);
}

std::string Child::ReadLine() {
  std::string line;
  char c;
  while (read(out_, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::string Child::ReadAll() {
  std::string text;
  char chunk[4096];
  for (ssize_t got; (got = read(out_, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(got));
  return text;
}

int Child::Stop(int signal) {
  if (pid_ < 0) return -1;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ProgramFolder() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/";
}

}  // namespace bench
