// Running the program's code in the test's own process: parsing and
// planning task texts, expecting a deliberate exit, and putting back after
// each test what it registered in the process.
#ifndef SPLYCE_TESTS_SUPPORT_IN_PROCESS_H
#define SPLYCE_TESTS_SUPPORT_IN_PROCESS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "app/edit_table.h"

namespace fixture {

// A test after which the process is as it was before: no path registered
// for a descriptor or shown by another name, no file remembered, no fatal
// hook, the umask it found. A test that stops at a failed ASSERT leaves
// nothing behind either. Name a suite after it with `using`.
class RestoringTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  mode_t umask_ = 0;
};

// Expects `call` to print exactly `message` on standard output and to end
// the run with `status` (Fatal, EndProcess), taken back by CatchExit; a
// status of 0 expects it to return. What it says on standard error is
// dropped: the runs of the binary check that.
void ExpectExit(const std::function<void()>& call, int status, const std::string& message);

struct Parsed {
  std::unique_ptr<EditTable> table = std::make_unique<EditTable>();
  std::string output;
};

// Writes `text` to a task file in `dir` and parses it into a table holding
// every default.
Parsed ParseTask(const std::string& dir, const std::string& text);

// Parses `text` and plans it; sources are looked up relative to `dir`.
Parsed PlanTask(const std::string& dir, const std::string& text);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_IN_PROCESS_H
