#include "base/fatal.h"

#include <gtest/gtest.h>

#include "support/catch_exit.h"
#include "support/in_process.h"

namespace {

using FatalFault = fixture::RestoringTest;

// A fatal fault prints its message whole, without a line end of its own,
// and ends the run with its status, which the hook receives first.
TEST_F(FatalFault, PrintsItsMessageAndEndsWithItsStatus) {
  fixture::ExpectExit([] { Fatal(2, "Cannot read file %s\n", "b.wav"); }, 2,
                      "Cannot read file b.wav\n");
  fixture::ExpectExit([] { Fatal(1, "Source track %i appears to be too short", 3); }, 1,
                      "Source track 3 appears to be too short");
  fixture::ExpectExit([] { EndProcess(1); }, 1, "");
  EXPECT_EQ(g_fatal_hook, nullptr);  // the catcher lets its hook go
}

}  // namespace
