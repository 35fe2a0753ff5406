// Write order, frame planning and the refusals made before any file is written.
#include "app/planning.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "support/destination_model.h"
#include "support/run_binary.h"
#include "support/snapshot.h"
#include "support/in_process.h"
#include "support/wav_fixture.h"

namespace {

using PlanEdits = fixture::RestoringTest;

using fixture::TempDir;

struct OrderCase {
  const char* name;
  std::vector<int32_t> append;
  std::vector<double> ins;
  std::vector<int32_t> order;
};

TEST(FindOrder, ChainsFollowTheirHeadsInInsertOrder) {
  const double nan = NAN;
  const double inf = INFINITY;
  const OrderCase cases[] = {
      {"six entries", {0, 1, 0, 1, 1, 0}, {10, 0, 5, 0, 0, 5}, {2, 3, 4, 5, 0, 1}},
      {"leading chain", {1, 1, 0, 0, 1}, {0, 0, 3, 1, 0}, {0, 1, 3, 4, 2}},
      {"one placed", {0}, {7}, {0}},
      {"one appended", {1}, {7}, {0}},
      {"all appended", {1, 1, 1}, {5, 0, 2}, {0, 1, 2}},
      {"equal inserts by index", {0, 0, 0}, {2, 2, 2}, {0, 1, 2}},
      {"leading chain before equal", {1, 0}, {0, 0}, {0, 1}},
      {"leading chain before smaller", {1, 0}, {0, -2}, {0, 1}},
      {"negative first", {0, 0, 1}, {3, -1, 0}, {1, 2, 0}},
      {"appended after a late head", {0, 1, 0}, {5, -100, 1}, {2, 0, 1}},
      {"flag other than 1 places", {2, 0}, {4, 1}, {1, 0}},
      {"not finite", {0, 0, 0}, {nan, inf, 1}, {2, 0, 1}},
      {"beyond the bound", {0, 0}, {1e308, 5}, {1, 0}},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t n = int32_t(c.append.size());
    std::vector<int32_t> order(size_t(n) + 2, -7);
    FindOrder(n, c.ins.data(), order.data(), c.append.data());
    EXPECT_EQ(std::vector<int32_t>(order.begin(), order.begin() + n), c.order);
    EXPECT_EQ(order[size_t(n)], -7);  // nothing written past position n - 1
  }
  int32_t untouched[2] = {9, 9};
  FindOrder(0, nullptr, untouched, nullptr);
  EXPECT_EQ(untouched[0], 9);
}

TEST(FindOrder, EveryIndexOnceWhateverTheInsertPoints) {
  std::vector<double> ins;
  std::vector<int32_t> append;
  for (int i = 0; i < kMaxEntries; ++i) {
    const double odd[] = {NAN, INFINITY, -INFINITY, 1e308, -1e308, double(i % 7)};
    ins.push_back(odd[i % 6]);
    append.push_back(i % 3 == 1 ? 1 : 0);
  }
  std::vector<int32_t> order(kMaxEntries + 1, -1);
  FindOrder(kMaxEntries, ins.data(), order.data(), append.data());
  std::vector<int32_t> seen(kMaxEntries, 0);
  for (int i = 0; i < kMaxEntries; ++i) {
    ASSERT_GE(order[size_t(i)], 0);
    ASSERT_LT(order[size_t(i)], kMaxEntries);
    ++seen[size_t(order[size_t(i)])];
  }
  EXPECT_EQ(seen, std::vector<int32_t>(kMaxEntries, 1));
  EXPECT_EQ(order[kMaxEntries], -1);
}


TEST_F(PlanEdits, TimesBecomeTruncatedFrames) {
  TempDir dir;
  fixture::WriteSilence(dir.Path("two.wav"), {44100, 16, 2}, 88200);
  fixture::WriteSilence(dir.Path("one.wav"), {44100, 16, 2}, 44100);
  fixture::WriteSilence(dir.Path("short.wav"), {44100, 16, 2}, 3000);
  fixture::WriteSilence(dir.Path("ten.wav"), {44100, 16, 2}, 441000);
  struct Case {
    const char* name;
    std::string entries;  // after the dest line
    int32_t entry;
    int32_t read_start, read_length, insert_frame, total;
    bool in_frames = false;  // the task starts with using_samples
  };
  const Case cases[] = {
      {"0.7 s truncates", "src\ttwo.wav\nxin\t0.7\n", 0, 30869, 57331, 0, 57331},
      {"trim 0.5 keeps the read", "src\ttwo.wav\nxout\t1\ntrim\t0.5\nsrc\tone.wav\n", 0, 0, 44100, 0, 88200},
      {"trim 0.5 moves no successor", "src\ttwo.wav\nxout\t1\ntrim\t0.5\nsrc\tone.wav\n", 1, 0, 44100, 44100, 88200},
      {"trim -1.5 takes one second", "src\ttwo.wav\ntrim\t-1.5\n", 0, 0, 44100, 0, 44100},
      {"read cut at the end", "src\ttwo.wav\nxin\t1\nxout\t5\n", 0, 44100, 44100, 0, 44100},
      {"appended first at 0", "src\tone.wav\nins\tapp\n", 0, 0, 44100, 0, 44100},
      {"2 s insert, 1 s read", "src\ttwo.wav\nxout\t1\nins\t2\n", 0, 0, 44100, 88200, 132300},
      {"start beyond the end", "src\tone.wav\nxin\t1.5\nxout\t2\nins\t1\n", 0, 66150, -22050, 44100, 22050},
      {"frames", "src\ttwo.wav\nxin\t100\nxout\t1100\nins\t50\n", 0, 100, 1000, 50, 1050, true},
      // The truncated insert frame decides, not the sign of the time.
      {"ins -0.9 frames is frame 0", "src\ttwo.wav\nxout\t10\nins\t-0.9\n", 0, 0, 10, 0, 10, true},
      {"ins -0.00001 s is frame 0", "src\tone.wav\nins\t-0.00001\n", 0, 0, 44100, 0, 44100},
      // Appended entries butt onto the frames read before them, whatever
      // their times add up to: 0.63 s is frame 27783, 2.63 s frame 115982.
      {"appended after a read of 8819 frames",
       "src\ttwo.wav\nxin\t0.1\nxout\t0.3\ntrim\t-0.2\nsrc\tone.wav\n", 1, 0, 44100, 8819, 52919},
      {"appended after a read of 88199 frames",
       "src\tten.wav\nxin\t0.63\nxout\t2.63\nsrc\tone.wav\n", 1, 0, 44100, 88199, 132299},
      {"appended after a read cut at the source's end",
       "src\tone.wav\nxin\t0.5\nxout\t3\nsrc\tone.wav\n", 1, 0, 44100, 22050, 66150},
      {"appended after a read that copies nothing",
       "src\tone.wav\nins\t1\nxin\t1.5\nxout\t2\nsrc\tone.wav\n", 1, 0, 44100, 44100, 88200},
      // A finite stop past the 32-bit range is cut to the source's end.
      {"xout 48700 s cut to the source's end", "src\tshort.wav\nxout\t48700\n", 0, 0, 3000, 0, 3000},
      {"xout 2147483647 cut to the source's end", "src\tshort.wav\nxout\t2147483647\n", 0, 0,
       3000, 0, 3000, true},
      {"xout 3e9 trimmed back into range", "src\ttwo.wav\nxout\t3e9\ntrim\t-2999999000\n", 0, 0,
       1000, 0, 1000, true},
#ifdef SPLYCE_HAVE_SOXR
      // Converted to another rate, a read of n frames becomes
      // trunc(n x 48000 / 44100) frames; ins counts the destination's.
      {"converted read, and one appended after it",
       "format\t48000\t16\t2\nsrc\ttwo.wav\nxin\t0.7\nsrc\tone.wav\n", 1, 0, 44100, 62401, 110401},
      {"converted read in frames", "format\t48000\t16\t2\nsrc\ttwo.wav\nxin\t100\nxout\t1100\n"
       "ins\t50\n", 0, 100, 1000, 50, 1138, true},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fixture::Parsed p = fixture::PlanTask(
        dir.path, std::string(c.in_frames ? "using_samples\n" : "") + "dest\tout.wav\n" + c.entries);
    const EditTable& t = *p.table;
    EXPECT_EQ(t.read_start[c.entry], c.read_start);
    EXPECT_EQ(t.read_length[c.entry], c.read_length);
    EXPECT_EQ(t.insert_frame[c.entry], c.insert_frame);
    EXPECT_EQ(t.total_frames, c.total);
  }
  EXPECT_FALSE(fixture::FileExists(dir.Path("out.wav")));
}

// Chains of 60 appended edits with times to 1/100 s: each edit starts on
// the frame after the last one the edit before it copies, so no join leaves
// a frame of silence or overlaps by one.
TEST_F(PlanEdits, AppendedEntriesButtJoinInFrames) {
  for (int32_t rate : {44100, 48000}) {
    SCOPED_TRACE(rate);
    TempDir dir;
    fixture::WriteSilence(dir.Path("long.wav"), {rate, 16, 2}, rate * 20);
    std::string task = "dest\tout.wav\nsrc\tlong.wav\nins\t1\nxin\t0.5\n";
    for (int32_t k = 0; k < 59; ++k) {
      const int32_t in = 7 + k * 31 % 1500;  // hundredths of a second
      task += "src\tlong.wav\nxin\t" + std::to_string(in / 100.0) + "\nxout\t" +
              std::to_string((in + 13 + k * 17 % 200) / 100.0) + "\n";
    }
    const fixture::Parsed p = fixture::PlanTask(dir.path, task);
    const EditTable& t = *p.table;
    ASSERT_EQ(t.entry_count, 60);
    EXPECT_EQ(t.insert_frame[0], rate);
    int64_t end = rate;
    for (int32_t j = 0; j < 60; ++j) {
      EXPECT_EQ(t.insert_frame[j], end) << "edit " << j + 1;
      EXPECT_EQ(t.write_order[j], j);
      end += t.read_length[j];
    }
    EXPECT_EQ(t.total_frames, end);
  }
}

// The message that refuses a source of a format Splyce does not read.
std::string Unsupported(const std::string& name, const std::string& what) {
  return "Unsupported format in " + name + ": " + what + ". Supported are 16, 24 and 32-bit "
         "integer and 32 and 64-bit float PCM, 1 to 32 channels.\n";
}

// Sources of formats beyond 16 and 24-bit integers, each at 44100 Hz.
std::vector<std::pair<std::string, fixture::WavSpec>> OddFormats() {
  fixture::WavSpec alaw{44100, 16, 1, 6};
  fixture::WavSpec mulaw{44100, 16, 1, 0xFFFE};
  mulaw.subformat = 7;
  fixture::WavSpec f16{44100, 16, 1, 3};
  fixture::WavSpec wide{44100, 16, 33};
  fixture::WavSpec one24{44100, 24, 2};
  fixture::WavSpec loose24{44100, 24, 2};
  loose24.block_align = 8;
  fixture::WavSpec valid20{44100, 32, 2, 0xFFFE};
  valid20.valid_bits = 20;
  fixture::WavSpec big{44100, 16, 2};
  big.riff = "RIFX";
  fixture::WavSpec int32{44100, 32, 2};
  fixture::WavSpec f32{44100, 32, 2, 3};
  return {{"alaw.wav", alaw},   {"mulaw.wav", mulaw},     {"f16.wav", f16},
          {"wide.wav", wide},   {"one24.wav", one24},     {"loose24.wav", loose24},
          {"valid20.wav", valid20}, {"big.wav", big},    {"int32.wav", int32},
          {"f32.wav", f32}};
}

// Refusals made while planning: each prints one line, exits with its status
// and leaves no destination behind and an existing one as it was; a check
// of the task is refused alike and changes nothing.
TEST(BinaryPlanRefusals, LeaveEveryFileAsItWas) {
  struct Case {
    const char* name;
    std::string task;
    std::string message;
    int status;
    std::string errors = "";  // when not empty, all of standard error: why, and where
  };
  const Case cases[] = {
      {"start equals stop", "using_samples\ndest\tout.wav\nsrc\tone.wav\nxin\t1000\nxout\t1000\n",
       "Edit start/stop set incorrectly for one.wav\n", 1,
       "task.txt:3: error: task 1 (\"one.wav\"): xout 1000 frames is at xin 1000 frames\n"},
      {"stop before start", "dest\tout.wav\nsrc\tone.wav\n\nxin\t0.9\nxout\t0.3\n",
       "Edit start/stop set incorrectly for one.wav\n", 1,
       "task.txt:2: error: task 1 (\"one.wav\"): xout 0.300 s is before xin 0.900 s\n"},
#ifdef SPLYCE_HAVE_SOXR
      {"stop before start, told at the rate of a source converted to another",
       "dest\tout.wav\nformat\t48000\t16\t2\nsrc\tone.wav\nxin\t0.9\nxout\t0.3\n",
       "Edit start/stop set incorrectly for one.wav\n", 1,
       "task.txt:3: note: task 1 (\"one.wav\") is converted from 44100 Hz 16-bit integer, 2 "
       "channels to 48000 Hz 16-bit integer, 2 channels\n"
       "task.txt:3: error: task 1 (\"one.wav\"): xout 0.300 s is before xin 0.900 s\n"},
#endif
      {"stop truncated onto the start", "using_samples\ndest\tout.wav\nsrc\tone.wav\nxin\t1000\n"
       "xout\t1000.9\n", "Edit start/stop set incorrectly for one.wav\n", 1},
      {"negative start", "dest\tout.wav\nsrc\tone.wav\nxin\t-0.5\nxout\t0.5\n",
       "Edit start/stop set incorrectly for one.wav\n", 1,
       "task.txt:2: error: task 1 (\"one.wav\"): xin -0.500 s is before the source's start\n"},
      {"start out of range", "dest\tout.wav\nsrc\tone.wav\nxin\t1e9\n",
       "Edit start/stop set incorrectly for one.wav\n", 1},
      {"stop not finite", "dest\tout.wav\nsrc\tone.wav\nxout\tinf\n",
       "Edit start/stop set incorrectly for one.wav\n", 1},
      {"trim not finite", "dest\tout.wav\nsrc\tone.wav\ntrim\tnan\n",
       "Edit start/stop set incorrectly for one.wav\n", 1},
      {"negative insert frame", "dest\tout.wav\nsrc\tone.wav\nins\t-0.0001\n",
       "Insert point set incorrectly for one.wav\n", 1,
       "task.txt:2: error: task 1 (\"one.wav\"): ins -0.0001 is no frame of a destination, which "
       "starts at 0 and holds at most 2147483647 frames\n"},
      {"insert not finite", "dest\tout.wav\nsrc\tone.wav\nins\tnan\n",
       "Insert point set incorrectly for one.wav\n", 1},
      {"insert out of range", "using_samples\ndest\tout.wav\nsrc\tone.wav\nins\t2147483648\n",
       "Insert point set incorrectly for one.wav\n", 1},
      {"destination past 2^31 frames", "using_samples\ndest\tout.wav\nsrc\tone.wav\nins\t2147480000\n",
       "Destination would be too large: at most 2147483647 frames\n", 1,
       "task.txt:3: error: task 1 (\"one.wav\"): it ends the destination at 2147524100 frames, past "
       "the 2147483647 frames a destination can hold\n"},
      {"appended past the 32-bit frames", "using_samples\ndest\tout.wav\nsrc\tone.wav\n"
       "ins\t2147480000\nsrc\tone.wav\n", "Insert point set incorrectly for one.wav\n", 1},
      {"stop not finite after trim", "using_samples\ndest\tout.wav\nsrc\tone.wav\nxout\t1e308\n"
       "trim\t-inf\n", "Edit start/stop set incorrectly for one.wav\n", 1},
      {"stop far below the start", "using_samples\ndest\tout.wav\nsrc\tone.wav\nxin\t10\n"
       "xout\t-3e9\n", "Edit start/stop set incorrectly for one.wav\n", 1},
      {"unsupported", "dest\tout.wav\nsrc\teight.wav\n", Unsupported("eight.wav", "8-bit integer, 2 channels"), 1,
       "task.txt:2: error: task 1 (\"eight.wav\"): 8-bit integer, 2 channels: Splyce reads 16, 24 "
       "and 32-bit integer and 32 and 64-bit float PCM, 1 to 32 channels\n"},
      {"A-law", "dest\tout.wav\nsrc\talaw.wav\n", Unsupported("alaw.wav", "format code 6 (A-law)"), 1},
      {"mu-law, extensible", "dest\tout.wav\nsrc\tmulaw.wav\n",
       Unsupported("mulaw.wav", "format code 7 (mu-law)"), 1},
      {"16-bit float", "dest\tout.wav\nsrc\tf16.wav\n", Unsupported("f16.wav", "16-bit float, 1 channel"), 1},
      {"33 channels", "dest\tout.wav\nsrc\twide.wav\n",
       Unsupported("wide.wav", "16-bit integer, 33 channels"), 1},
      {"24 bits in 8-byte blocks, after a source that is fine", "dest\tout.wav\nsrc\tone24.wav\nsrc\tloose24.wav\n",
       Unsupported("loose24.wav", "24 bits in blocks of 8 bytes for 2 channels"), 1},
      {"20 valid bits in 32", "dest\tout.wav\nsrc\tvalid20.wav\n",
       Unsupported("valid20.wav", "20 valid bits in 32-bit integer containers"), 1},
      {"big-endian", "dest\tout.wav\nsrc\tbig.wav\n", Unsupported("big.wav", "big-endian (RIFX)"), 1},
      {"integer and float", "dest\tout.wav\nsrc\tint32.wav\nsrc\tf32.wav\n",
       "Sample formats do not match for source tracks:\nint32.wav\t32-bit integer\nf32.wav\t32-bit float\n", 1,
       "task.txt:3: error: task 2 (\"f32.wav\") differs from the destination, which takes the "
       "format of task 1 (\"int32.wav\"): 32-bit float against 32-bit integer\n"},
      {"destination is a source", "dest\tone.wav\nsrc\tone.wav\n",
       "Destination one.wav is also a source track\n", 1,
       "task.txt:2: error: task 1 (\"one.wav\"): it reads the destination itself, which the run "
       "replaces: give dest another name\n"},
      {"destination links to a source", "dest\tlink.wav\nsrc\tone.wav\n",
       "Destination link.wav is also a source track\n", 1},
      {"destination by another path", "dest\t./one.wav\nsrc\tone.wav\n",
       "Destination ./one.wav is also a source track\n", 1},
      {"missing source", "dest\tout.wav\nsrc\tnothing.wav\n",
       "Cannot find file in track list called nothing.wav!!\n", 2,
       "task.txt:2: error: task 1 (\"nothing.wav\"): the source cannot be opened: there is no such "
       "file (a source's path starts from the working directory, \"DIR\")\n"},
      {"missing source near a name that is there", "dest\tout.wav\nsrc\t./onne.wv\n",
       "Cannot find file in track list called ./onne.wv!!\n", 2,
       "task.txt:2: error: task 1 (\"./onne.wv\"): the source cannot be opened: there is no such "
       "file (a source's path starts from the working directory, \"DIR\"): did you mean "
       "\"./one.wav\"?\n"},
      {"rates differ", "dest\tout.wav\nsrc\tone.wav\nsrc\tr48.wav\nsrc\tr48.wav\n",
       "Sample rates do not match for source tracks:\none.wav\t44100 kHz\nr48.wav\t48000 kHz\n"
       "r48.wav\t48000 kHz\n"
       "Sample rates do not match for source tracks:\none.wav\t44100 kHz\nr48.wav\t48000 kHz\n"
       "r48.wav\t48000 kHz\n", 1},
      {"channels and bits differ", "dest\tout.wav\nsrc\tone.wav\nsrc\tmono24.wav\n",
       "Number of channels do not match for source tracks:\none.wav\t2 channels\nmono24.wav\t1 channels\n"
       "Number of bits do not match for source tracks:\none.wav\t16\nmono24.wav\t24\n", 1,
       "task.txt:3: error: task 2 (\"mono24.wav\") differs from the destination, which takes the "
       "format of task 1 (\"one.wav\"): 1 channels against 2; 24 bits against 16\n"},
      {"three channels converted into two", "dest\tout.wav\nformat\t44100\t16\t2\nsrc\tone.wav\n"
       "src\tthree.wav\n", "Cannot convert three.wav from 3 channels to 2\n", 1,
       "task.txt:4: error: task 2 (\"three.wav\"): 3 channels, which no rule turns into the "
       "destination's 2: one channel goes into any number, and two into one\n"},
#ifdef SPLYCE_HAVE_SOXR
      {"a rate above 768 kHz", "dest\tout.wav\nformat\t1000000\t16\t2\nsrc\tone.wav\n",
       "Cannot convert one.wav from 44100 Hz to 1000000 Hz: rates above 768000 Hz are not "
       "converted\n", 1},
#endif
      {"a format line converts no unsupported source", "dest\tout.wav\nformat\t44100\t16\t2\n"
       "src\teight.wav\n", Unsupported("eight.wav", "8-bit integer, 2 channels"), 1},
      {"clip name as destination", "dest\t./xfade_temp.wav\nsrc\tone.wav\nxin\t0.5\nxf\t10\t1\n",
       "./xfade_temp.wav clashes with the crossfade work file xfade_temp.wav\n", 1,
       "task.txt:1: error: the destination \"./xfade_temp.wav\" is the file the crossfades are made "
       "in, xfade_temp.wav in the working directory: give dest another name\n"},
      {"clip name as source", "dest\tout.wav\nsrc\txfade_temp.wav\nxin\t0.5\nxf\t10\t1\n",
       "xfade_temp.wav clashes with the crossfade work file xfade_temp.wav\n", 1},
      {"clip by another name as source",
       "dest\tout.wav\nsrc\tone.wav\nsrc\tcliplink.wav\nxin\t0.5\nxf\t10\t1\n",
       "cliplink.wav clashes with the crossfade work file xfade_temp.wav\n", 1},
      {"crossfade too wide", "dest\tout.wav\nsrc\tone.wav\nxin\t0.5\nxf\t1e9\t1\n",
       "Crossfade width set incorrectly for one.wav\n", 1,
       "task.txt:2: error: task 1 (\"one.wav\"): xf width 1e+09 ms makes a crossfade clip of more "
       "frames than a WAV file can hold\n"},
      {"crossfade width infinite", "dest\tout.wav\nsrc\tone.wav\nxin\t0.5\nxf\tinf\t2\n",
       "Crossfade width set incorrectly for one.wav\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    fixture::WriteSilence(dir.Path("one.wav"), {44100, 16, 2}, 44100);
    fixture::WriteSilence(dir.Path("r48.wav"), {48000, 16, 2}, 100);
    fixture::WriteSilence(dir.Path("mono24.wav"), {44100, 24, 1}, 100);
    fixture::WriteSilence(dir.Path("eight.wav"), {44100, 8, 2}, 100);
    fixture::WriteSilence(dir.Path("three.wav"), {44100, 16, 3}, 100);
    fixture::WriteSilence(dir.Path("xfade_temp.wav"), {44100, 16, 2}, 44100);
    for (const auto& [name, layout] : OddFormats()) {
      fixture::WriteFile(dir.Path(name), fixture::MakeWav(layout, fixture::Bytes(48, 0)));
    }
    ASSERT_EQ(symlink("one.wav", dir.Path("link.wav").c_str()), 0);
    ASSERT_EQ(symlink("xfade_temp.wav", dir.Path("cliplink.wav").c_str()), 0);
    const fixture::Bytes one = fixture::ReadFile(dir.Path("one.wav"));
    fixture::WriteFile(dir.Path("task.txt"), fixture::Text(c.task));
    const fixture::Snapshot before = fixture::Take(dir.path);
    const fixture::RunResult checked = fixture::RunSplyceIn(dir.path, {"--check", "task.txt"});
    EXPECT_TRUE(fixture::Take(dir.path) == before) << "--check changed the folder";
    const fixture::RunResult r = fixture::RunTask(dir, c.task);
    EXPECT_EQ(checked.output, r.output);  // refused as the run is
    EXPECT_EQ(checked.status, r.status);
    const size_t report = r.output.find(" entries in task file\n\n");
    ASSERT_NE(report, std::string::npos);
    EXPECT_EQ(r.output.substr(report + 23), c.message);
    EXPECT_EQ(r.status, c.status);
    if (!c.errors.empty()) {
      EXPECT_EQ(fixture::WithDirNamed(r.errors, dir), c.errors);
    }
    EXPECT_FALSE(fixture::FileExists(dir.Path("out.wav")));
    EXPECT_EQ(fixture::ReadFile(dir.Path("one.wav")), one);
  }
}

}  // namespace
