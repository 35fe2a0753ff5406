#include "app/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/run.h"
#include "support/in_process.h"
#include "support/snapshot.h"
#include "support/temp_dir.h"
#include "support/wav_fixture.h"

namespace {

using OutputFiles = fixture::RestoringTest;

// A file written beside the one it replaces, which stays whole until the
// new one is renamed over it and passes on its permissions.
TEST_F(OutputFiles, ReplaceAFileWholeOnlyWhenFinished) {
  fixture::TempDir dir;
  const std::string path = dir.Path("plan.json");
  fixture::WriteFile(path, fixture::Text("earlier"));
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  OutputFile out;
  OpenOutputFile(kUnfinishedPlan, path.c_str(), &out);
  std::fputs("new", out.file);
  EXPECT_EQ(fixture::ReadFile(path), fixture::Text("earlier"));
  EXPECT_EQ(fixture::NamesIn(dir.path).size(), 2u);  // and the file being written
  FinishOutputFile(kUnfinishedPlan, &out);
  EXPECT_EQ(fixture::ReadFile(path), fixture::Text("new"));
  EXPECT_EQ(fixture::NamesIn(dir.path), std::vector<std::string>{"plan.json"});
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// An output path that names a file of the task, or one that cannot be
// made, is refused; standard output is always allowed.
TEST_F(OutputFiles, RefuseWhatTheyMayNotReplace) {
  fixture::TempDir dir;
  auto t = std::make_unique<EditTable>();
  SetDefaults(*t);
  t->entry_count = 1;
  std::strcpy(t->destination_path, dir.Path("out.wav").c_str());
  std::strcpy(t->source_path[0], dir.Path("a.wav").c_str());
  fixture::WriteFile(dir.Path("a.wav"), fixture::Text("a"));
  const std::string source = dir.Path("a.wav");
  const std::string destination = dir.Path("out.wav");
  const std::string unmade = dir.Path("none/plan.json");
  fixture::ExpectExit([&] { CheckOutputPath(*t, source.c_str(), "--plan"); }, 1,
                      "Output file " + source + " is a file of the task\n");
  fixture::ExpectExit([&] { CheckOutputPath(*t, destination.c_str(), "--draw"); }, 1,
                      "Output file " + destination + " is a file of the task\n");
  fixture::ExpectExit([&] { CheckOutputPath(*t, unmade.c_str(), "--plan"); }, 2,
                      "Cannot create file " + unmade + "\n");
  fixture::ExpectExit([&] { CheckOutputPath(*t, "-", "--plan"); }, 0, "");
}

}  // namespace
