// Runs the built splyce binary in a fresh temporary directory.
#ifndef SPLYCE_TESTS_SUPPORT_RUN_BINARY_H
#define SPLYCE_TESTS_SUPPORT_RUN_BINARY_H

#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace fixture {

struct RunResult {
  int status = -1;     // exit status, or -1 when the process did not exit normally
  std::string output;  // everything written on standard output
  std::string errors;  // everything written on standard error
};

// Runs splyce with `args` in `dir`, standard input closed. A run that has not
// ended after a minute is killed and fails the test, as does any end but exit
// status 0, 1 or 2 (a signal, a sanitizer report), but a death by
// `allowed_signal`: its status is 128 + the signal. `in_child`, when set, runs
// in the new process once it is in `dir`, before it starts splyce (to change
// its user, limits, environment or standard output).
RunResult RunSplyceIn(const std::string& dir, const std::vector<std::string>& args,
                      const std::function<void()>& in_child = nullptr, int allowed_signal = 0);

// Starts one splyce per argument list in `dir` at once, then collects them
// as RunSplyceIn does, in the order given; `in_child` runs in each.
std::vector<RunResult> RunSplyceTogether(const std::string& dir,
                                         const std::vector<std::vector<std::string>>& runs,
                                         const std::function<void()>& in_child = nullptr);

// Runs splyce as RunSplyceIn does, but holds it in the middle of its run:
// standard output goes to a pipe of one page that is left unread until it is
// full, so that splyce blocks in a write of its report, and `while_held` runs
// (given splyce's process id)
// then; after it the output is read to the end. The edits reported in the
// page and in splyce's output buffer have been written, the rest have not.
// Sets `*held` to whether splyce filled the pipe (`while_held` ran) before it
// ended. A death by `allowed_signal` is not a failure: its status is 128 +
// the signal.
RunResult RunSplyceHeld(const std::string& dir, const std::vector<std::string>& args,
                        const std::function<void(int pid)>& while_held, bool* held,
                        int allowed_signal = 0, const std::function<void()>& in_child = nullptr);

// Returns what a run's `in_child` does to make the system calls that
// `rules` name fail in splyce (the rules of support/fault_shim.cpp), after
// `then` when it is given.
std::function<void()> WithFaults(const std::string& rules,
                                 const std::function<void()>& then = nullptr);

// The kinds of file system a run can find, by the faults that make them:
// unnamed files and locks, no unnamed files, and neither (see fault_shim.cpp).
struct FileSystem {
  const char* name;
  const char* faults;
};
constexpr FileSystem kFileSystems[] = {
    {"unnamed files and locks", ""},
    {"no unnamed files", "open:EOPNOTSUPP:flags=tmpfile"},
    {"no unnamed files and no lock", "open:EOPNOTSUPP:flags=tmpfile;flock:ENOLCK"},
};

// Returns `text` with every mention of `dir`'s path written DIR, so that
// messages that name the directory compare alike in every run.
std::string WithDirNamed(std::string text, const TempDir& dir);

// Writes `text` to `dir`/`name` and runs splyce on it.
RunResult RunTask(const TempDir& dir, const std::string& text,
                  const std::string& name = "task.txt");

// The report `--check` prints for a task whose run printed `report`: each
// edit's "Done" and the summary's "Built" read "Planned".
std::string PlannedReport(std::string report);

// Whether sox, a reader and writer of audio files that is no part of this
// project, is on the PATH, looked up without running anything.
bool HaveSox();

// Runs sox with `args` in `dir`; true when it succeeds.
bool Sox(const TempDir& dir, const std::string& args);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_RUN_BINARY_H
