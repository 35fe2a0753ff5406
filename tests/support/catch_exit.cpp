#include "support/catch_exit.h"

#include <csetjmp>
#include <cstdio>

#include "base/fatal.h"

namespace fixture {
namespace {

jmp_buf g_return_point;
int g_exit_status = 0;

[[noreturn]] void ReturnToCatcher(int status) {
  g_exit_status = status;
  std::fflush(stdout);
  longjmp(g_return_point, 1);
}

}  // namespace

int CatchExit(void (*body)(void* context), void* context) {
  volatile int status = kReturned;
  g_fatal_hook = ReturnToCatcher;
  if (setjmp(g_return_point) == 0) {
    body(context);
  } else {
    status = g_exit_status;
  }
  g_fatal_hook = nullptr;
  return status;
}

}  // namespace fixture
