#include "app/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

void (*g_fatal_hook)(int status) = nullptr;

namespace {

// The one file that messages name otherwise, and the name they give it.
const char* g_renamed_path = nullptr;
const char* g_shown_path = nullptr;
// The paths opened by duplicating a held descriptor (the build file and the
// crossfade clip), and those descriptors; a null path is a free slot.
constexpr int32_t kHeldPaths = 2;
const char* g_held_path[kHeldPaths] = {};
int g_held_fd[kHeldPaths] = {-1, -1};

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
bool Empty(int fd) {
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
                                     : Empty(fd) && lseek(fd, 0, SEEK_SET) == 0;
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

void OpenPathAsDescriptor(const char* path, int fd) {
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
  g_renamed_path = path;
  g_shown_path = shown;
}

const char* ShownPath(const char* path) {
  if (g_renamed_path != nullptr && std::strcmp(path, g_renamed_path) == 0) return g_shown_path;
  return path;
}

// Opens with O_NONBLOCK, which only an open of a FIFO heeds, then clears it so
// that reads and writes block as after fopen. Of the flags F_SETFL changes,
// this open sets O_NONBLOCK alone, so setting none clears it without reading
// them first.
FILE* OpenWithoutWaiting(const char* path, const char* mode) {
  if (HeldSlot(path) >= 0) return StreamOrClose(DuplicateHeld(path), mode);
  const int access = std::strchr(mode, '+') != nullptr ? O_RDWR : O_RDONLY;
  const int fd = open(path, access | O_NONBLOCK);
  if (fd < 0) return nullptr;
  fcntl(fd, F_SETFL, access);
  return StreamOrClose(fd, mode);
}

// A held file is written through a "wb" stream in either mode: fdopen in an
// "a" mode would set O_APPEND on the open file that every duplicate shares.
FILE* OpenForWriting(const char* path, const char* mode) {
  if (HeldSlot(path) < 0) return std::fopen(path, mode);
  return StreamOrClose(PlaceForWriting(DuplicateHeld(path), mode), "wb");
}

void EndProcess(int status) {
  if (g_fatal_hook != nullptr) g_fatal_hook(status);
  exit(status);  // flushes standard output, so a message without a line end still shows
}

// Prints the message and ends the process.
void Fatal(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  EndProcess(status);
}
