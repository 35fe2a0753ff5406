#include "support/snapshot.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace fixture {
namespace {

// The extended attributes of a file, by name.
std::map<std::string, Bytes> AttributesOf(const std::string& path) {
  std::map<std::string, Bytes> attributes;
  char names[4096];
  const ssize_t listed = llistxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < listed; at += ssize_t(std::strlen(names + at)) + 1) {
    Bytes value(4096);
    const ssize_t size = lgetxattr(path.c_str(), names + at, value.data(), value.size());
    value.resize(size_t(std::max<ssize_t>(size, 0)));
    attributes[names + at] = value;
  }
  return attributes;
}

}  // namespace

Entry Describe(const std::string& path) {
  struct stat s;
  if (lstat(path.c_str(), &s) != 0) return {'?', {}};
  const auto entry = [&s, &path](char kind, Bytes bytes) {
    return Entry{kind, std::move(bytes), mode_t(s.st_mode & 07777), s.st_uid, s.st_gid,
                 AttributesOf(path)};
  };
  if (S_ISLNK(s.st_mode)) {
    const std::string target = std::filesystem::read_symlink(path).string();
    return entry('l', Bytes(target.begin(), target.end()));
  }
  if (S_ISREG(s.st_mode)) return entry('f', ReadFile(path));
  if (S_ISDIR(s.st_mode)) return entry('d', {});
  if (S_ISFIFO(s.st_mode)) return entry('p', {});
  return entry(S_ISCHR(s.st_mode) ? 'c' : '?', {});
}

Snapshot Take(const std::string& root) {
  namespace fs = std::filesystem;
  Snapshot snapshot;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
    snapshot[e.path().lexically_relative(root).string()] = Describe(e.path().string());
  }
  return snapshot;
}

std::string Names(const Snapshot& snapshot) {
  std::string names;
  for (const auto& [name, entry] : snapshot) names += "[" + name + "] ";
  return names;
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace fixture
