// What a directory holds, file by file, to tell that a run changed nothing
// or exactly what it should.
#ifndef SPLYCE_TESTS_SUPPORT_SNAPSHOT_H
#define SPLYCE_TESTS_SUPPORT_SNAPSHOT_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/wav_fixture.h"

namespace fixture {

// One file or directory as a run may find it: its kind, its bytes (the
// target of a link), its permission bits, owner and group.
struct Entry {
  char kind;  // 'f' file, 'd' directory, 'l' symbolic link, 'p' FIFO, 'c' device, '?' other
  Bytes bytes;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  std::map<std::string, Bytes> attributes = {};  // extended attributes, the ACL among them
  bool operator==(const Entry& o) const {
    return kind == o.kind && bytes == o.bytes && mode == o.mode && owner == o.owner &&
           group == o.group && attributes == o.attributes;
  }
};
using Snapshot = std::map<std::string, Entry>;

Entry Describe(const std::string& path);

// Every file and directory under `root`, by path relative to it.
Snapshot Take(const std::string& root);

// The names a snapshot holds, for messages.
std::string Names(const Snapshot& snapshot);

// The names of the entries of `dir` itself, sorted.
std::vector<std::string> NamesIn(const std::string& dir);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_SNAPSHOT_H
