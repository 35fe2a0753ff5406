// Taking back a deliberate exit of the code under test (Fatal, EndProcess),
// for the tests that run it in their own process and for the fuzz targets.
#ifndef SPLYCE_TESTS_SUPPORT_CATCH_EXIT_H
#define SPLYCE_TESTS_SUPPORT_CATCH_EXIT_H

namespace fixture {

// What CatchExit returns when the body returned normally.
constexpr int kReturned = -1;

// Runs body(context) with g_fatal_hook set, so that a deliberate exit jumps
// back here (by longjmp) instead of ending the process. Returns kReturned, or
// the status of the exit. The code under test holds no objects with
// destructors, so leaving its frames by longjmp skips nothing; the body must
// hold none either while it calls that code. Calls do not nest.
int CatchExit(void (*body)(void* context), void* context);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_CATCH_EXIT_H
