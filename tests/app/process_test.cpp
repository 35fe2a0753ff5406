#include "app/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/run_binary.h"

namespace {

// Reads the whole stream and closes it; "(none)" when it did not open.
std::string ReadAndClose(FILE* file) {
  if (file == nullptr) return "(none)";
  std::string text;
  char block[64];
  for (size_t n; (n = std::fread(block, 1, sizeof block, file)) > 0;) text.append(block, n);
  std::fclose(file);
  return text;
}

// A path registered with a held descriptor opens that descriptor's file in
// every mode, whatever file the path names, until the registration ends.
TEST(Process, RegisteredPathOpensTheHeldDescriptorUntilReleased) {
  fixture::TempDir dir;
  std::ofstream(dir.Path("held")) << "held file";
  std::ofstream(dir.Path("named")) << "named file";
  const std::string named = dir.Path("named");
  const int held = open(dir.Path("held").c_str(), O_RDWR);
  ASSERT_GE(held, 0);

  OpenPathAsDescriptor(named.c_str(), held);
  for (const char* mode : {"rb", "rb+"}) {
    SCOPED_TRACE(mode);
    FILE* file = OpenWithoutWaiting(named.c_str(), mode);
    ASSERT_NE(file, nullptr);
    std::rewind(file);  // the duplicates share the held descriptor's position
    EXPECT_EQ(ReadAndClose(file), "held file");
  }
  EXPECT_EQ(ReadAndClose(OpenWithoutWaiting(dir.Path("held").c_str(), "rb")), "held file");
  EXPECT_EQ(fcntl(held, F_GETFD), 0) << "closing a duplicate closed the held descriptor";

  OpenPathAsDescriptor(nullptr, -1);
  EXPECT_EQ(ReadAndClose(OpenWithoutWaiting(named.c_str(), "rb")), "named file");
  close(held);
}

}  // namespace
