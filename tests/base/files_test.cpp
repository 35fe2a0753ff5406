#include "base/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "support/in_process.h"
#include "support/temp_dir.h"

namespace {

using Files = fixture::RestoringTest;

// Reads the whole stream and closes it; "(none)" when it did not open.
std::string ReadAndClose(FILE* file) {
  if (file == nullptr) return "(none)";
  std::string text;
  char block[64];
  for (size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) text.append(block, n);
  std::fclose(file);
  return text;
}

// Paths registered for descriptors open those descriptors' files in
// every mode, whatever files the paths name, two at once, each until its
// registration ends; writing empties the held file first or, in "ab", adds
// to its end.
TEST_F(Files, RegisteredPathsOpenTheHeldDescriptorsUntilReleased) {
  fixture::TempDir dir;
  for (const char* name : {"held", "named", "other", "other named"}) {
    std::ofstream(dir.Path(name)) << name << " file";
  }
  const std::string named = dir.Path("named");
  const std::string other_named = dir.Path("other named");
  const int held = open(dir.Path("held").c_str(), O_RDWR);
  const int other = open(dir.Path("other").c_str(), O_RDWR);
  ASSERT_GE(held, 0);
  ASSERT_GE(other, 0);

  UseDescriptorForPath(named.c_str(), held);
  UseDescriptorForPath(other_named.c_str(), other);
  for (const char* mode : {"rb", "rb+"}) {
    SCOPED_TRACE(mode);
    FILE* file = OpenWithoutWaiting(named.c_str(), mode);
    ASSERT_NE(file, nullptr);
    std::rewind(file);  // the duplicates share the held descriptor's position
    EXPECT_EQ(ReadAndClose(file), "held file");
  }
  EXPECT_EQ(ReadAndClose(OpenWithoutWaiting(dir.Path("held").c_str(), "rb")), "held file");
  EXPECT_EQ(fcntl(held, F_GETFD), 0) << "closing a duplicate closed the held descriptor";

  for (const auto& [mode, text, expected] :
       {std::tuple{"ab", "+", "other file+"}, {"wb", "new", "new"}, {"ab", "er", "newer"}}) {
    SCOPED_TRACE(mode);
    FILE* file = OpenForWriting(other_named.c_str(), mode);
    ASSERT_NE(file, nullptr);
    std::fputs(text, file);
    std::fclose(file);
    FILE* reader = OpenWithoutWaiting(other_named.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    std::rewind(reader);
    EXPECT_EQ(ReadAndClose(reader), expected);
  }
  EXPECT_EQ(fcntl(other, F_GETFL) & O_APPEND, 0) << "an \"ab\" stream set O_APPEND on the held file";

  UseDescriptorForPath(other_named.c_str(), -1);
  EXPECT_EQ(ReadAndClose(OpenWithoutWaiting(other_named.c_str(), "rb")), "other named file");
  FILE* file = OpenWithoutWaiting(named.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::rewind(file);
  EXPECT_EQ(ReadAndClose(file), "held file") << "releasing one path released the other";

  UseDescriptorForPath(nullptr, -1);
  EXPECT_EQ(ReadAndClose(OpenWithoutWaiting(named.c_str(), "rb")), "named file");
  close(held);
  close(other);
}

}  // namespace
