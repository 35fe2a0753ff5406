#include "support/task_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "app/planning.h"
#include "app/run.h"
#include "app/task_file.h"
#include "support/wav_fixture.h"

namespace fixture {

Parsed ParseTask(const std::string& dir, const std::string& text) {
  const std::string path = dir + "/task.txt";
  WriteFile(path, Bytes(text.begin(), text.end()));
  Parsed p;
  EditTable& t = *p.table;
  SetDefaults(t);
  testing::internal::CaptureStdout();
  ReadTaskFile(t.entry_count, t.source_path, t.destination_path, t.xin, t.xout, t.ins, t.trim,
               t.append, path.c_str(), t.time_unit, t.xf_type, t.width_ms, t.level_db);
  ReadTaskLines(t.source_line, &t.destination_line);
  ReadTaskFormat(&t.format);
  std::fflush(stdout);
  p.output = testing::internal::GetCapturedStdout();
  return p;
}

Parsed PlanTask(const std::string& dir, const std::string& text) {
  Parsed p = ParseTask(dir, text);
  char previous[4096];
  if (getcwd(previous, sizeof previous) == nullptr || chdir(dir.c_str()) != 0) {
    throw std::runtime_error("cannot enter " + dir);
  }
  testing::internal::CaptureStdout();
  PlanEdits(*p.table);
  std::fflush(stdout);
  p.output += testing::internal::GetCapturedStdout();
  if (chdir(previous) != 0) throw std::runtime_error("cannot return to the test directory");
  return p;
}

}  // namespace fixture
