// The destination's life: built beside the file it replaces, under a name of
// the run's own where the file system has no unnamed files, replaced whole
// or left as it was, and refused before the first edit where it cannot be
// replaced; run on the binary.
#include "app/destination.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#ifdef SPLYCE_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "support/destination_model.h"
#include "support/report.h"
#include "support/run_binary.h"
#include "support/snapshot.h"
#include "support/wav_fixture.h"

namespace {

using fixture::Bytes;
using fixture::Format;
using fixture::TempDir;

// Destinations past 2 GiB, mostly silence: a RIFF file up to 4 GiB, whose
// header declares the frames with sizes read as unsigned 32-bit values, and
// an RF64 file past it, whose ds64 chunk declares them; each holds exactly
// its frames, and the silence takes no writes and no room on disk. Readers
// that are no part of this project find every frame.
TEST(BinaryDestination, DestinationsPastTwoGiBAreHeldSparsely) {
  struct Case { int64_t total; bool rf64; };
  for (const Case& c : {Case{805306368, false}, Case{1073742900, true}}) {  // 3 GiB; past 4 GiB
    SCOPED_TRACE(c.total);
    TempDir dir;
    const Format f{48000, 16, 2};
    const auto a = fixture::WriteNoise(dir.Path("a.wav"), f, 1000, 7);
    const fixture::RunResult r = fixture::RunTask(
        dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t" + std::to_string(c.total - 1000) + "\n");
    ASSERT_EQ(r.status, 0) << r.output;
    const int64_t header = c.rf64 ? 80 : 44;
    struct stat info;
    ASSERT_EQ(stat(dir.Path("out.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, header + c.total * 4);
    EXPECT_LT(info.st_blocks * 512, 1 << 20);
    const int fd = open(dir.Path("out.wav").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Bytes head(size_t(header), 0), tail(4000);
    ASSERT_EQ(pread(fd, head.data(), size_t(header), 0), header);
    ASSERT_EQ(pread(fd, tail.data(), 4000, off_t(header + (c.total - 1000) * 4)), 4000);
    close(fd);
    const uint64_t data = uint64_t(c.total) * 4;
    Bytes expected = fixture::EmptyDestination(f, 0);
    if (c.rf64) {  // "RF64", sizes in ds64, 0xFFFFFFFF where 32 bits would be
      Bytes ds64(36, 0);
      const uint64_t sizes[] = {uint64_t(header) + data - 8, data, uint64_t(c.total)};
      std::memcpy(ds64.data(), "ds64", 4);
      ds64[4] = 28;
      for (size_t k = 0; k < 3; ++k) {
        for (size_t b = 0; b < 8; ++b) ds64[8 + 8 * k + b] = uint8_t(sizes[k] >> (8 * b));
      }
      expected.insert(expected.begin() + 12, ds64.begin(), ds64.end());
      std::memcpy(expected.data(), "RF64", 4);
      expected = fixture::WithField(fixture::WithField(expected, 4, 0xFFFFFFFF), 76, 0xFFFFFFFF);
    } else {
      expected = fixture::WithField(fixture::WithField(expected, 4, uint32_t(data + 36)), 40,
                                    uint32_t(data));
    }
    EXPECT_EQ(head, expected);
    EXPECT_EQ(fixture::DecodeSamples(tail, 16), a);
#ifdef SPLYCE_HAVE_SNDFILE
    SF_INFO read = {};
    SNDFILE* file = sf_open(dir.Path("out.wav").c_str(), SFM_READ, &read);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(read.frames, c.total);
    EXPECT_EQ(read.format, (c.rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_PCM_16);
    sf_close(file);
#endif
  }
}

TEST(BinaryDestination, ReplacesAnExistingDestination) {
  TempDir dir;
  const Format f{44100, 16, 1};
  const auto a = fixture::WriteNoise(dir.Path("a.wav"), f, 300, 5);
  fixture::WriteFile(dir.Path("out.wav"), Bytes(100000, 0x55));
  const fixture::RunResult r = fixture::RunTask(dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\n");
  ASSERT_EQ(r.status, 0);
  Bytes expected = fixture::EmptyDestination(f, 300);
  fixture::LayEdit(expected, f, a, 0, 300, 0, 0.0);
  EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
}

// A run ended from outside part-way (Ctrl-C, kill, a closed terminal, a
// reader of its report that has gone, a timer or a CPU limit) leaves no
// build file, no crossfade clip, no file a source is converted in, and the
// earlier destination as it was; even SIGKILL, where files can be built and
// clips made without a name.
TEST(BinaryDestination, EndingPartWayLeavesTheEarlierDestinationAlone) {
  for (const auto& [file_system, faults] : fixture::kFileSystems) {
    for (const int signal_number : {SIGTERM, SIGKILL, SIGPIPE, SIGUSR1, SIGALRM, SIGXCPU}) {
      // Every other run converts its source to 24 bits as it copies it.
      const bool converted = signal_number % 2 == 1;
      SCOPED_TRACE(std::string(file_system) + ", " + strsignal(signal_number) +
                   (converted ? ", converted" : ""));
      TempDir dir;
      const int unnamed = open(dir.path.c_str(), O_TMPFILE | O_RDWR, 0600);
      if (unnamed >= 0) close(unnamed);
      if (signal_number == SIGKILL && (unnamed < 0 || faults[0] != '\0')) continue;  // leaves names
      fixture::WriteNoise(dir.Path("a.wav"), {8000, 16, 2}, 2000, 9);
      const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
      fixture::WriteFile(dir.Path("out.wav"), earlier);
      std::string task = "using_samples\ndest\tout.wav\n";
      if (converted) task += "format\t8000\t24\t2\n";
      for (int k = 0; k < 300; ++k) task += "src\ta.wav\nxin\t1000\nxf\t10\t1\n";
      fixture::WriteFile(dir.Path("task.txt"), fixture::Text(task));
      fixture::RunResult r;
      if (signal_number == SIGPIPE) {  // its report goes to a pipe whose reader has gone
        r = fixture::RunSplyceIn(dir.path, {"task.txt"}, fixture::WithFaults(faults, [] {
          int gone[2];
          if (pipe(gone) != 0 || dup2(gone[1], STDOUT_FILENO) < 0 || close(gone[0]) != 0) _exit(127);
        }), SIGPIPE);
      } else {
        bool held = false;
        r = fixture::RunSplyceHeld(dir.path, {"task.txt"},
                                   [signal_number](int pid) { kill(pid, signal_number); }, &held,
                                   signal_number, fixture::WithFaults(faults));
        EXPECT_TRUE(held) << "splyce ended before it filled the pipe";
      }
      EXPECT_EQ(r.status, 128 + signal_number);
      EXPECT_EQ(fixture::NamesIn(dir.path), (std::vector<std::string>{"a.wav", "out.wav", "task.txt"}));
      EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), earlier);
    }
  }
}

// The first name the finished build file would take beside the destination
// is another file: the next name is taken, and that file is left alone.
TEST(BinaryDestination, PassesOverASideNameThatIsTaken) {
  TempDir dir;
  const Format f{8000, 16, 1};
  const auto a = fixture::WriteNoise(dir.Path("a.wav"), f, 300, 5);
  fixture::WriteFile(dir.Path("task.txt"), fixture::Text("using_samples\ndest\tout.wav\nsrc\ta.wav\n"));
  const fixture::RunResult r = fixture::RunSplyceIn(dir.path, {"task.txt"}, [] {
    const std::string name = "out.wav." + std::to_string(getpid()) + "-0";  // splyce's own pid
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || write(fd, "stale", 5) != 5 || close(fd) != 0) _exit(127);
  });
  ASSERT_EQ(r.status, 0) << r.output;
  Bytes expected = fixture::EmptyDestination(f, 300);
  fixture::LayEdit(expected, f, a, 0, 300, 0, 0.0);
  EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
  const std::vector<std::string> names = fixture::NamesIn(dir.path);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[2].substr(0, 8), "out.wav.");
  EXPECT_EQ(fixture::ReadFile(dir.Path(names[2])), fixture::Text("stale"));
}

// Destinations the run could write but never replace: flagged append-only
// or immutable, or with a file mounted on them. Each is refused before any
// edit, and left as it was. Root alone can set the flags and mount; where
// even root cannot (a file system without the flags), the row is skipped.
TEST(BinaryDestination, DestinationsThatCannotBeReplacedAreRefusedFirst) {
  if (geteuid() != 0) GTEST_SKIP() << "setting file flags and mounting need root";
  struct Case { const char* name; int flag; bool mounted; };
  const Case cases[] = {{"append-only", FS_APPEND_FL, false},
                        {"immutable", FS_IMMUTABLE_FL, false},
                        {"a file mounted on it", 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fixture::WriteNoise(dir.Path("a.wav"), {8000, 16, 2}, 8, 1);
    fixture::WriteFile(dir.Path("out.wav"), fixture::Text("earlier"));
    fixture::WriteFile(dir.Path("over.bin"), fixture::Text("over"));
    fixture::WriteFile(dir.Path("task.txt"), fixture::Text("dest\tout.wav\nsrc\ta.wav\n"));
    const std::string out = dir.Path("out.wav");
    const int fd = open(out.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    const bool flagged = c.flag != 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags |= c.flag, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    close(fd);
    const bool mounted = c.mounted &&
                         mount(dir.Path("over.bin").c_str(), out.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!flagged && !mounted) {
      std::printf("%s not tested: the file system does not allow it here\n", c.name);
      continue;
    }
    const Bytes before = fixture::ReadFile(out);
    const fixture::RunResult r = fixture::RunSplyceIn(dir.path, {"task.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.output, fixture::Report().Read(1).Line("Cannot create file out.wav\n").Text());
    EXPECT_NE(r.errors.find("it is a file you may not replace"), std::string::npos) << r.errors;
    EXPECT_EQ(fixture::ReadFile(out), before);
    if (mounted) umount2(out.c_str(), MNT_DETACH);
    if (flagged) {
      const int again = open(out.c_str(), O_RDONLY);
      flags &= ~c.flag;
      ASSERT_EQ(ioctl(again, FS_IOC_SETFLAGS, &flags), 0);
      close(again);
    }
  }
}

}  // namespace
