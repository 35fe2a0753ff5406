// A fresh directory for one test, removed with everything in it.
#ifndef SPLYCE_TESTS_SUPPORT_TEMP_DIR_H
#define SPLYCE_TESTS_SUPPORT_TEMP_DIR_H

#include <string>

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

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_TEMP_DIR_H
