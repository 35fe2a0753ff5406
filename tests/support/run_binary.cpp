#include "support/run_binary.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/wav_fixture.h"

namespace fixture {

namespace {

// How long a run may take before it is taken for hung (seconds).
constexpr int kRunLimitSeconds = 60;

struct Child {
  pid_t pid = -1;
  int output = -1;  // read end of the pipe on splyce's standard output
  int errors = -1;  // read end of the pipe on splyce's standard error
  bool reaped = false;
  int wait_status = 0;
};

// Whether the process is inside a write to its standard output, as the
// kernel shows its system call; true where the kernel does not show it, as
// a full pipe is then the best sign there is.
bool BlockedWritingOutput(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  if (!in) return true;
  long number = -1;
  std::string fd;
  in >> number >> fd;
  return number == SYS_write && fd == "0x1";
}

// Starts splyce in `dir` with its standard output on a new pipe, made
// `pipe_bytes` large unless that is 0, and its standard error on another,
// after `in_child` (when set) has run in the new process.
Child Start(const std::string& dir, const std::vector<std::string>& args, int pipe_bytes,
            const std::function<void()>& in_child = nullptr) {
  int pipe_fds[2];
  int error_fds[2];
  if (pipe(pipe_fds) != 0 || pipe(error_fds) != 0) throw std::runtime_error("pipe failed");
  if (pipe_bytes > 0 && fcntl(pipe_fds[0], F_SETPIPE_SZ, pipe_bytes) < 0) {
    throw std::runtime_error("cannot set the pipe size");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(error_fds[1], STDERR_FILENO);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    close(error_fds[0]);
    close(error_fds[1]);
    // Standard input is a pipe that is empty and already closed: no device is opened.
    int input_fds[2];
    if (pipe(input_fds) == 0) {
      close(input_fds[1]);
      dup2(input_fds[0], STDIN_FILENO);
      close(input_fds[0]);
    }
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (in_child) in_child();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(SPLYCE_BINARY));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(SPLYCE_BINARY, argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  close(error_fds[1]);
  Child child;
  child.pid = pid;
  child.output = pipe_fds[0];
  child.errors = error_fds[0];
  return child;
}

using Clock = std::chrono::steady_clock;

// Reads the child's standard output and standard error to their ends, or
// until `deadline`; false on time-out. Both are read as they come, so that
// neither pipe fills while the other is waited on.
bool ReadToEnd(const Child& child, Clock::time_point deadline, std::string* output,
               std::string* errors) {
  char chunk[4096];
  pollfd streams[2] = {{child.output, POLLIN, 0}, {child.errors, POLLIN, 0}};
  std::string* texts[2] = {output, errors};
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    const int polled = poll(streams, 2, int(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || streams[i].revents == 0) continue;
      const ssize_t got = read(streams[i].fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) streams[i].fd = -1;  // poll skips it from now on
      if (got > 0) texts[i]->append(chunk, size_t(got));
    }
  }
  return true;
}

// Reads the rest of the output, waits for the child and judges how it ended.
// A death by `allowed_signal` (sent by the test itself) gives status
// 128 + the signal and is no failure.
RunResult Finish(Child& child, const std::string& dir, Clock::time_point deadline,
                 std::string output, int allowed_signal = 0) {
  RunResult result;
  const bool ended = ReadToEnd(child, deadline, &output, &result.errors);
  if (!ended && !child.reaped) kill(child.pid, SIGKILL);
  close(child.output);
  close(child.errors);
  if (!child.reaped) waitpid(child.pid, &child.wait_status, 0);
  result.output = std::move(output);
  if (ended && WIFEXITED(child.wait_status)) result.status = WEXITSTATUS(child.wait_status);
  const bool allowed = allowed_signal != 0 && WIFSIGNALED(child.wait_status) &&
                       WTERMSIG(child.wait_status) == allowed_signal;
  if (ended && allowed) {
    result.status = 128 + allowed_signal;
    return result;
  }
  // splyce ends with 0, 1 or 2. Anything else, a signal or the status 99 of a
  // sanitizer report (scripts/test), fails the test whatever it checks next.
  if (!ended) {
    ADD_FAILURE() << "splyce did not end within " << kRunLimitSeconds << " s in " << dir;
  } else if (result.status < 0 || result.status > 2) {
    ADD_FAILURE() << "splyce ended abnormally (status " << result.status << ", wait status "
                  << child.wait_status << ") in " << dir << ":\n" << result.errors;
  }
  return result;
}

}  // namespace

RunResult RunSplyceIn(const std::string& dir, const std::vector<std::string>& args,
                      const std::function<void()>& in_child, int allowed_signal) {
  Child child = Start(dir, args, 0, in_child);
  return Finish(child, dir, Clock::now() + std::chrono::seconds(kRunLimitSeconds), "",
                allowed_signal);
}

std::vector<RunResult> RunSplyceTogether(const std::string& dir,
                                         const std::vector<std::vector<std::string>>& runs,
                                         const std::function<void()>& in_child) {
  std::vector<Child> children;
  for (const std::vector<std::string>& args : runs) children.push_back(Start(dir, args, 0, in_child));
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kRunLimitSeconds);
  std::vector<RunResult> results;
  for (Child& child : children) results.push_back(Finish(child, dir, deadline, ""));
  return results;
}

RunResult RunSplyceHeld(const std::string& dir, const std::vector<std::string>& args,
                        const std::function<void(int pid)>& while_held, bool* held,
                        int allowed_signal, const std::function<void()>& in_child) {
  const int page = int(sysconf(_SC_PAGESIZE));
  Child child = Start(dir, args, page, in_child);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kRunLimitSeconds);
  *held = false;
  // A full pipe makes splyce's next write of its report block, before the
  // edits that report would announce are written; until it is in that write
  // it may still be reading the files the test is about to change.
  while (Clock::now() < deadline) {
    int waiting = 0;
    if (ioctl(child.output, FIONREAD, &waiting) == 0 && waiting >= page &&
        BlockedWritingOutput(child.pid)) {
      *held = true;
      while_held(int(child.pid));
      break;
    }
    if (waitpid(child.pid, &child.wait_status, WNOHANG) == child.pid) {
      child.reaped = true;
      break;
    }
    usleep(1000);
  }
  return Finish(child, dir, deadline, "", allowed_signal);
}

std::function<void()> WithFaults(const std::string& rules, const std::function<void()>& then) {
  return [rules, then] {
    if (setenv("LD_PRELOAD", SPLYCE_FAULT_SHIM, 1) != 0 ||
        setenv("SPLYCE_FAULTS", rules.c_str(), 1) != 0) {
      _exit(127);
    }
    if (then) then();
  };
}

std::string WithDirNamed(std::string text, const TempDir& dir) {
  for (size_t at = text.find(dir.path); at != std::string::npos; at = text.find(dir.path, at)) {
    text.replace(at, dir.path.size(), "DIR");
  }
  return text;
}

RunResult RunTask(const TempDir& dir, const std::string& text, const std::string& name) {
  WriteFile(dir.Path(name), Bytes(text.begin(), text.end()));
  return RunSplyceIn(dir.path, {name});
}

std::string PlannedReport(std::string report) {
  for (const auto& [built, planned] : {std::pair<std::string, std::string>{"\tDone\n", "\tPlanned\n"},
                                      {"\nBuilt\t", "\nPlanned\t"}}) {
    for (size_t at = 0; (at = report.find(built, at)) != std::string::npos; at += planned.size()) {
      report.replace(at, built.size(), planned);
    }
  }
  return report;
}

bool HaveSox() {
  std::istringstream folders(std::getenv("PATH") == nullptr ? "" : std::getenv("PATH"));
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (access((folder + "/sox").c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool Sox(const TempDir& dir, const std::string& args) {
  return std::system(("cd '" + dir.path + "' && sox -V1 " + args).c_str()) == 0;
}

}  // namespace fixture
