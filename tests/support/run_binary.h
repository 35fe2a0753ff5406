// Runs the built splyce binary in a fresh temporary directory.
#ifndef SPLYCE_TESTS_SUPPORT_RUN_BINARY_H
#define SPLYCE_TESTS_SUPPORT_RUN_BINARY_H

#include <string>
#include <vector>

namespace fixture {

// A fresh directory under the system's temporary folder, removed with its
// contents when the object goes out of scope.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string Path(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

struct RunResult {
  int status = -1;     // exit status, or -1 when the process did not exit normally
  std::string output;  // everything written on standard output
};

// Runs splyce with `args` in `dir`, standard input closed.
RunResult RunSplyceIn(const std::string& dir, const std::vector<std::string>& args);

// Writes `text` to `dir`/`name` and runs splyce on it.
RunResult RunTask(const TempDir& dir, const std::string& text,
                  const std::string& name = "task.txt");

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_RUN_BINARY_H
