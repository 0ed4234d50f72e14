// Running a program of the build as a child process from a test: arguments,
// a scripted standard input (or a closed one), extra environment variables,
// captured standard output and error, a time limit.
//
// Header-only and free of any test framework, so that every suite (end to
// end, GUI, operations) can use it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace mervix::testing {

struct ProcessResult {
  bool started = false;   // the program could be spawned
  bool timedOut = false;  // killed after the time limit
  int exitCode = -1;      // exit status, or -1 when killed by a signal
  int signal = 0;         // the signal that ended it, if any
  std::string out;        // standard output
  std::string err;        // standard error
  std::string error;      // why it could not be started
};

// The current environment with |overrides| ("NAME=value") replacing or adding
// entries; "NAME=" with nothing after '=' keeps the variable but empties it,
// "-NAME" removes it.
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& o : overrides) {
      const std::string name = o[0] == '-' ? o.substr(1) : nameOf(o);
      if (name == nameOf(entry)) replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  for (const std::string& o : overrides) {
    if (o[0] != '-') env.push_back(o);
  }
  return env;
}

// Runs |argv| (argv[0] is the program's path) to its end. |input| is written
// to its standard input, which is then closed; without |input| the standard
// input is closed from the start (reads see end of file at once). Standard
// output and error are captured. After |timeoutMs| the child is killed with
// SIGKILL and timedOut is set.
inline ProcessResult RunProcess(const std::vector<std::string>& argv, std::optional<std::string> input,
                                const std::vector<std::string>& envOverrides, int timeoutMs) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    result.error = std::strerror(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> env = EnvironmentWith(envOverrides);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    result.error = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
    return result;
  }
  result.started = true;

  // A child that exits without reading its input must not kill the caller
  // with SIGPIPE when the rest of the input is written. Set after the spawn,
  // so the child keeps the default disposition.
  struct sigaction ignorePipe {}, previousPipe {};
  ignorePipe.sa_handler = SIG_IGN;
  sigemptyset(&ignorePipe.sa_mask);
  ::sigaction(SIGPIPE, &ignorePipe, &previousPipe);

  // Standard input: write what there is without blocking, then close.
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  std::string pending = input.value_or("");
  int inFd = in[1];
  if (pending.empty()) {
    ::close(inFd);
    inFd = -1;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int outFd = out[0], errFd = err[0];
  while (outFd >= 0 || errFd >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      result.timedOut = true;
      break;
    }
    pollfd p[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (::poll(p, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? outFd : errFd;
      if (fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fd);
        fd = -1;
      }
    }
    if (inFd >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::write(inFd, pending.data(), pending.size());
      if (n > 0) pending.erase(0, static_cast<std::size_t>(n));
      if (pending.empty() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ::close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) ::close(inFd);
  ::sigaction(SIGPIPE, &previousPipe, nullptr);
  if (outFd >= 0) ::close(outFd);
  if (errFd >= 0) ::close(errFd);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

// Starts |argv| with |envOverrides| in the environment, no input, standard
// output into |outPath| and standard error onto |errFd| (-1: the caller's):
// its pid, or -1. The caller waits for it (WaitExit) or kills it.
inline pid_t SpawnWithOutput(const std::vector<std::string>& argv, const std::vector<std::string>& envOverrides,
                             const std::string& outPath, int errFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env = EnvironmentWith(envOverrides);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The exit status of |pid| once it has ended; -1 when a signal ended it.
inline int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Splits a text into lines at "\n", dropping one "\r" before it; a last line
// without a line ending is kept.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace mervix::testing
