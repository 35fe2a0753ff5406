#include "support/in_process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "app/planning.h"
#include "app/run.h"
#include "app/task_file.h"
#include "base/fatal.h"
#include "base/files.h"
#include "support/catch_exit.h"
#include "support/wav_fixture.h"

namespace fixture {

void RestoringTest::SetUp() {
  umask_ = umask(0);
  umask(umask_);
}

void RestoringTest::TearDown() {
  UseDescriptorForPath(nullptr, -1);
  ShowPathAs(nullptr, nullptr);
  ForgetFiles();
  g_fatal_hook = nullptr;
  umask(umask_);
}

void ExpectExit(const std::function<void()>& call, int status, const std::string& message) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int ended = CatchExit(
      [](void* body) { (*static_cast<const std::function<void()>*>(body))(); },
      const_cast<std::function<void()>*>(&call));
  std::fflush(stdout);
  const std::string printed = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(ended, status == 0 ? kReturned : status);
  EXPECT_EQ(printed, message);
}

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
