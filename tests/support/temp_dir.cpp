#include "support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace fixture {

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/splyce-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  namespace fs = std::filesystem;
  std::error_code ignored;
  // A folder a test made read-only must let its contents go.
  for (fs::recursive_directory_iterator it(path, ignored), end; it != end; it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path, ignored);
}

}  // namespace fixture
