#include "base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/diagnostics.h"
#include "base/fatal.h"

namespace {

// The files that messages name otherwise (the build file, and a source's
// converted stretch), and the names they give them; a null path is a free
// slot.
constexpr int32_t kShownPaths = 2;
const char* g_renamed_path[kShownPaths] = {};
const char* g_shown_path[kShownPaths] = {};
// The paths opened by duplicating a held descriptor (the build file, the
// crossfade clip and a source's converted stretch), and those descriptors;
// a null path is a free slot.
constexpr int32_t kHeldPaths = 3;
const char* g_held_path[kHeldPaths] = {};
int g_held_fd[kHeldPaths] = {-1, -1, -1};

// Files remembered by RememberFile: one per source a task can name, by path
// (of at most kRememberedPathBytes - 1 bytes), with what identifies them.
constexpr int32_t kRememberedFiles = 512;
constexpr int32_t kRememberedPathBytes = 128;
// Status of a file that cannot be read.
constexpr int kReadStatus = 2;
struct Remembered {
  char path[kRememberedPathBytes];
  struct stat info;
};
Remembered g_remembered[kRememberedFiles];
int32_t g_remembered_count = 0;

// Returns the remembered entry of `path`, or null.
Remembered* FindRemembered(const char* path) {
  for (int32_t k = 0; k < g_remembered_count; ++k) {
    if (std::strcmp(g_remembered[k].path, path) == 0) return &g_remembered[k];
  }
  return nullptr;
}

// Reports whether the file is the remembered one as it was: the same file,
// and neither its size nor its time of last change moved.
bool Unchanged(const struct stat& was, const struct stat& now) {
  return SameFile(was, now) && was.st_size == now.st_size &&
         was.st_mtim.tv_sec == now.st_mtim.tv_sec && was.st_mtim.tv_nsec == now.st_mtim.tv_nsec;
}

// Ends the run when `fd`, just opened by `path`, is not the file remembered
// under that path, as it was.
void CheckRemembered(const char* path, int fd) {
  const Remembered* known = FindRemembered(path);
  struct stat now;
  if (known == nullptr || (fstat(fd, &now) == 0 && Unchanged(known->info, now))) return;
  close(fd);
  Error("%s has been replaced or changed since the run began: run the task again",
        Quote(path).text);
  Fatal(kReadStatus, "Cannot read file %s\n", ShownPath(path));
}

// Returns the slot that holds `path`, or -1.
int32_t HeldSlot(const char* path) {
  for (int32_t k = 0; k < kHeldPaths; ++k) {
    if (g_held_path[k] != nullptr && std::strcmp(path, g_held_path[k]) == 0) return k;
  }
  return -1;
}

// Returns a duplicate of the descriptor held for `path`, or -1.
int DuplicateHeld(const char* path) {
  const int32_t slot = HeldSlot(path);
  return slot < 0 ? -1 : dup(g_held_fd[slot]);
}

// Empties an open file unless it is empty already: on ext4, emptying a file
// has its last close write out everything written to it since, and the build
// file is written whole after its header.
bool MakeEmpty(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  return info.st_size == 0 || ftruncate(fd, 0) == 0;
}

// Places a duplicate of a held descriptor where a stream opened in `mode`
// starts writing: at the end for "ab", at the start of the emptied file
// otherwise. Closes it when that fails.
int PlaceForWriting(int fd, const char* mode) {
  if (fd < 0) return -1;
  const bool placed = mode[0] == 'a' ? lseek(fd, 0, SEEK_END) >= 0
                                     : MakeEmpty(fd) && lseek(fd, 0, SEEK_SET) == 0;
  if (placed) return fd;
  close(fd);
  return -1;
}

// Makes an open descriptor a stream in `mode`; closes it when that fails.
FILE* StreamOrClose(int fd, const char* mode) {
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

void UseDescriptorForPath(const char* path, int fd) {
  for (int32_t k = 0; k < kHeldPaths; ++k) {
    if (path == nullptr || (g_held_path[k] != nullptr && std::strcmp(path, g_held_path[k]) == 0)) {
      g_held_path[k] = nullptr;
      g_held_fd[k] = -1;
    }
  }
  if (path == nullptr || fd < 0) return;
  for (int32_t k = 0; k < kHeldPaths; ++k) {
    if (g_held_path[k] == nullptr) {
      g_held_path[k] = path;
      g_held_fd[k] = fd;
      return;
    }
  }
}

void ShowPathAs(const char* path, const char* shown) {
  if (path == nullptr) {
    for (const char*& renamed : g_renamed_path) renamed = nullptr;
    return;
  }
  int32_t free_slot = -1;
  for (int32_t k = 0; k < kShownPaths; ++k) {
    const bool same = g_renamed_path[k] != nullptr && std::strcmp(path, g_renamed_path[k]) == 0;
    if (same) g_renamed_path[k] = nullptr;
    if (g_renamed_path[k] == nullptr && free_slot < 0) free_slot = k;
  }
  if (shown == nullptr || free_slot < 0) return;
  g_renamed_path[free_slot] = path;
  g_shown_path[free_slot] = shown;
}

const char* ShownPath(const char* path) {
  for (int32_t k = 0; k < kShownPaths; ++k) {
    if (g_renamed_path[k] != nullptr && std::strcmp(path, g_renamed_path[k]) == 0) {
      return g_shown_path[k];
    }
  }
  return path;
}

// Opens with O_NONBLOCK, which only an open of a FIFO heeds, then clears it so
// that reads and writes block as after fopen. Of the flags F_SETFL changes,
// this open sets O_NONBLOCK alone, so setting none clears it without reading
// them first.
FILE* OpenWithoutWaiting(const char* path, const char* mode) {
  if (HeldSlot(path) >= 0) return StreamOrClose(DuplicateHeld(path), mode);
  const int access = std::strchr(mode, '+') != nullptr ? O_RDWR : O_RDONLY;
  const int fd = open(path, access | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  fcntl(fd, F_SETFL, access);
  CheckRemembered(path, fd);
  return StreamOrClose(fd, mode);
}

void RememberFile(const char* path, int fd) {
  struct stat info;
  if (FindRemembered(path) != nullptr || std::strlen(path) >= size_t(kRememberedPathBytes) ||
      g_remembered_count == kRememberedFiles || fstat(fd, &info) != 0) {
    return;
  }
  Remembered& slot = g_remembered[g_remembered_count++];
  std::strcpy(slot.path, path);
  slot.info = info;
}

void ForgetFiles() { g_remembered_count = 0; }

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsKnownFile(const char* path, bool known_exists, const struct stat& known) {
  struct stat info;
  return known_exists && stat(path, &info) == 0 && SameFile(info, known);
}

bool SameExistingFile(const char* a, const char* b) {
  struct stat known = {};
  const bool exists = stat(b, &known) == 0;
  return IsKnownFile(a, exists, known);
}

// A held file is written through a "wb" stream in either mode: fdopen in an
// "a" mode would set O_APPEND on the open file that every duplicate shares.
FILE* OpenForWriting(const char* path, const char* mode) {
  if (HeldSlot(path) < 0) return std::fopen(path, mode);
  return StreamOrClose(PlaceForWriting(DuplicateHeld(path), mode), "wb");
}
