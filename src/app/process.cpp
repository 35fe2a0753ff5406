#include "app/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

void (*g_fatal_hook)(int status) = nullptr;

namespace {

// The one file that messages name otherwise, and the name they give it.
const char* g_renamed_path = nullptr;
const char* g_shown_path = nullptr;
// The path opened by duplicating a held descriptor, and that descriptor.
const char* g_descriptor_path = nullptr;
int g_held_fd = -1;

// Makes an open descriptor a stream in `mode`; closes it when that fails.
FILE* StreamOrClose(int fd, const char* mode) {
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

void OpenPathAsDescriptor(const char* path, int fd) {
  g_descriptor_path = path;
  g_held_fd = fd;
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
// that reads and writes block as after fopen.
FILE* OpenWithoutWaiting(const char* path, const char* mode) {
  if (g_descriptor_path != nullptr && std::strcmp(path, g_descriptor_path) == 0) {
    return StreamOrClose(dup(g_held_fd), mode);
  }
  const int access = std::strchr(mode, '+') != nullptr ? O_RDWR : O_RDONLY;
  const int fd = open(path, access | O_NONBLOCK);
  if (fd < 0) return nullptr;
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return StreamOrClose(fd, mode);
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
