// Parses and plans task texts in-process, capturing what they print.
#ifndef SPLYCE_TESTS_SUPPORT_TASK_FIXTURE_H
#define SPLYCE_TESTS_SUPPORT_TASK_FIXTURE_H

#include <memory>
#include <string>

#include "app/edit_table.h"

namespace fixture {

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

#endif  // SPLYCE_TESTS_SUPPORT_TASK_FIXTURE_H
