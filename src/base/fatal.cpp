#include "base/fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void (*g_fatal_hook)(int status) = nullptr;

void EndProcess(int status) {
  if (g_fatal_hook != nullptr) g_fatal_hook(status);
  std::exit(status);  // flushes standard output, so a message without a line end still shows
}

void Fatal(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  EndProcess(status);
}
