// Crossfaded edits run end to end: the destination around each splice, the
// width in frames, and the life of the work file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/destination_model.h"
#include "support/report.h"
#include "support/run_binary.h"
#include "support/snapshot.h"
#include "support/in_process.h"
#include "support/wav_fixture.h"
#include "wav/wav_file.h"

namespace {

using fixture::Bytes;
using fixture::Format;
using fixture::TempDir;
using Samples = std::vector<int32_t>;


// Lays one crossfaded edit on the model: the clip is mixed from the
// destination as it stands, the source is copied, then the clip laid over
// the splice when it starts after frame 0, up to the destination's end.
void LayCrossfadedEdit(Bytes& dest, const Format& f, const Samples& src, int32_t read_start,
                       int32_t frames, int32_t insert, double level_db, const fixture::Fade& fade) {
  const Samples before = fixture::DecodeSamples(Bytes(dest.begin() + kHeaderBytes, dest.end()), f.bits);
  const Samples clip = fixture::ReferenceClip(f, fade, insert, read_start, before, src);
  fixture::LayEdit(dest, f, src, read_start, frames, insert, level_db);
  const int32_t start = insert - fade.width / 2;
  const int32_t total = int32_t(before.size()) / f.channels;
  if (start > 0) fixture::LayEdit(dest, f, clip, 0, std::min(fade.width, total - start), start, 0.0);
}

TEST(BinarySplice, CrossfadesEveryFormatAndCurve) {
  const Format formats[] = {{8000, 16, 1}, {8000, 16, 2}, {8000, 24, 1}, {8000, 24, 2}};
  for (const Format& f : formats) {
    for (int32_t type = 1; type <= 4; ++type) {
      for (double level : {0.0, -4.5}) {
        SCOPED_TRACE(testing::Message() << f.bits << "-bit, " << f.channels << " ch, type " << type
                                        << ", " << level << " dB");
        TempDir dir;
        const Samples a = fixture::WriteNoise(dir.Path("a.wav"), f, 3000, 1);
        const Samples b = fixture::WriteNoise(dir.Path("b.wav"), f, 3000, 2);
        const fixture::RunResult r = fixture::RunTask(
            dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t0\nsrc\tb.wav\nxin\t1000\n"
                 "ins\t1500\nlvl\t" + std::to_string(level) + "\nxf\t50\t" + std::to_string(type) + "\n");
        ASSERT_EQ(r.status, 0) << r.output;
        Bytes expected = fixture::EmptyDestination(f, 3500);
        fixture::LayEdit(expected, f, a, 0, 3000, 0, 0.0);
        LayCrossfadedEdit(expected, f, b, 1000, 2000, 1500, level, {400, type, level});
        EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
        EXPECT_FALSE(fixture::FileExists(dir.Path("xfade_temp.wav")));
      }
    }
  }
}

TEST(Splice, WidthInFramesFollowsTheRate) {
  struct Case { const char* width; int32_t rate; int32_t frames; };
  const Case cases[] = {{"0", 8000, 4410},    {"-20", 48000, 4410},  {"nan", 44100, 4410},
                        {"100", 48000, 4800}, {"33.3", 44100, 1468}, {"200", 44100, 8820},
                        {"100.03", 44100, 4411}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " ms at " << c.rate);
    TempDir dir;
    fixture::WriteNoise(dir.Path("a.wav"), {c.rate, 16, 1}, 100, 3);
    const fixture::Parsed p = fixture::PlanTask(
        dir.path, std::string("dest\tout.wav\nsrc\ta.wav\nxf\t") + c.width + "\t1\n");
    EXPECT_EQ(p.table->width_frames[0], c.frames);
  }
}

// An odd width of 4411 frames is laid from insert - 2205; an insert of
// exactly H builds the clip and discards it, and says so; a clip that would
// reach past the destination's last frame is laid up to it.
TEST(BinarySplice, LaysTheClipFromHalfAWidthBeforeTheInsert) {
  const Format f{44100, 16, 2};
  struct Case { int32_t insert, read_start; const char* width; int32_t frames; std::string errors; };
  const Case cases[] = {
      {3000, 3000, "100.03", 4411, ""},
      {2205, 3000, "100.03", 4411,
       "splyce: warning: task 2 (\"b.wav\"): crossfade not laid, as its clip would start at the "
       "destination's first frame: set the insert point past 2205 frames, or narrow the "
       "crossfade\n"},
      {2000, 3000, "1", 44, ""},
      {7000, 7900, "100.03", 4411, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.insert);
    TempDir dir;
    const Samples a = fixture::WriteNoise(dir.Path("a.wav"), f, 8000, 4);
    const Samples b = fixture::WriteNoise(dir.Path("b.wav"), f, 8000, 5);
    const fixture::RunResult r = fixture::RunTask(
        dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t0\nsrc\tb.wav\nxin\t" +
                 std::to_string(c.read_start) + "\nins\t" + std::to_string(c.insert) + "\nxf\t" +
                 c.width + "\t2\n");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.errors, c.errors);
    const int32_t frames = 8000 - c.read_start;
    Bytes expected = fixture::EmptyDestination(f, std::max(8000, c.insert + frames));
    fixture::LayEdit(expected, f, a, 0, 8000, 0, 0.0);
    LayCrossfadedEdit(expected, f, b, c.read_start, frames, c.insert, 0.0, {c.frames, 2, 0.0});
    EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
    EXPECT_FALSE(fixture::FileExists(dir.Path("xfade_temp.wav")));
  }
}

// A crossfade on an appended edit fades out the edit before it: that edit's
// copy runs on under the clip for half the width, as far as its source
// allows, and only the clip sees the run-on. Where its source ends first,
// the rest of the fade-out is silence, and a warning says how much.
TEST(BinarySplice, AppendedCrossfadeFadesOutTheRunOn) {
  const Format f{8000, 24, 2};
  struct Case { int32_t a_frames, run_on; std::string errors; };
  const Case cases[] = {
      {3000, 200, ""},
      {1050, 50,
       "splyce: warning: task 2 (\"b.wav\"): its crossfade fades out only 50 frames of task 1, "
       "whose source ends there, so the last 150 frames of the fade-out are silence: end "
       "task 1's read that much earlier\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a_frames);
    TempDir dir;
    const Samples a = fixture::WriteNoise(dir.Path("a.wav"), f, c.a_frames, 8);
    const Samples b = fixture::WriteNoise(dir.Path("b.wav"), f, 3000, 9);
    const fixture::RunResult r = fixture::RunTask(
        dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nxout\t1000\nsrc\tb.wav\nxin\t500\n"
             "xf\t50\t2\n");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.errors, c.errors);
    Bytes expected = fixture::EmptyDestination(f, 3500);
    fixture::LayEdit(expected, f, a, 0, 1000 + c.run_on, 0, 0.0);
    LayCrossfadedEdit(expected, f, b, 500, 2500, 1000, 0.0, {400, 2, 0.0});
    EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
    if (c.errors.empty()) continue;
    // With --strict the warning ends the run at that edit, and the
    // destination stays as it was.
    const fixture::RunResult strict = fixture::RunSplyceIn(dir.path, {"--strict", "task.txt"});
    EXPECT_EQ(strict.status, 1);
    EXPECT_EQ(strict.output.substr(strict.output.size() - 7), "\tDone\n\n");
    EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
  }
}

// A crossfade from the source's first frame fades in from silence; one that
// would read the destination before its first frame is not made, and the edit
// is copied without it.
TEST(BinarySplice, FailedCrossfadeCopiesTheEditWithoutOne) {
  const Format f{8000, 24, 1};
  TempDir dir;
  const Samples a = fixture::WriteNoise(dir.Path("a.wav"), f, 1000, 6);
  const fixture::RunResult laid =
      fixture::RunTask(dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t500\nxf\t10\t1\n");
  EXPECT_EQ(laid.status, 0);
  EXPECT_EQ(laid.errors, "");
  Bytes expected = fixture::EmptyDestination(f, 1500);
  LayCrossfadedEdit(expected, f, a, 0, 1000, 500, 0.0, {80, 1, 0.0});
  EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);

  const fixture::RunResult r =
      fixture::RunTask(dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t30\nxf\t10\t1\n");
  EXPECT_EQ(r.output,
            fixture::Report(true)
                .Read(1)
                .Task(1, "30", "a.wav", "0", "1000", "0.000",
                      "Invalid crossfade for destination file\nCould not generate crossfade\n")
                .Built("out.wav", "1030", 24, 1, 8000)
                .Text());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.errors,
            "splyce: warning: task 1 (\"a.wav\"): no crossfade, as its window of 80 frames reads "
            "the destination from -10 frames to 70 frames, which starts before the file's first "
            "frame: set the insert point to 40 frames or more, or narrow the crossfade\n");
  expected = fixture::EmptyDestination(f, 1030);
  fixture::LayEdit(expected, f, a, 0, 1000, 30, 0.0);
  EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
  const Bytes left = fixture::ReadFile(dir.Path("xfade_temp.wav"));  // left behind on failure
  EXPECT_EQ(left.size(), size_t(kHeaderBytes));

  // After crossfades that were laid, a failed one leaves the same clip: its
  // header alone, nothing of the clips before it.
  const fixture::RunResult after = fixture::RunTask(
      dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nxin\t500\nsrc\ta.wav\nxin\t500\n"
           "xf\t30\t1\nsrc\ta.wav\nxin\t400\nxf\t10\t2\nsrc\ta.wav\nins\t30\nxf\t10\t1\n");
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(fixture::ReadFile(dir.Path("xfade_temp.wav")), left) << after.output;
}

// Whatever holds the work file's name is removed before the clip is made;
// a link goes without its target being touched, and a folder of that name,
// which cannot be removed, leaves the clip to a file without a name.
TEST(BinarySplice, ReplacesWhateverHoldsTheWorkFileName) {
  const Format f{8000, 16, 1};
  TempDir dir;
  fixture::WriteNoise(dir.Path("a.wav"), f, 2000, 7);
  const char* const task = "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t1000\nxin\t500\nxf\t10\t4\n";
  fixture::WriteFile(dir.Path("xfade_temp.wav"), Bytes(5000, 0x11));
  fixture::RunResult r = fixture::RunTask(dir, task);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(fixture::FileExists(dir.Path("xfade_temp.wav")));

  const Bytes target(300, 0x22);
  fixture::WriteFile(dir.Path("target.bin"), target);
  ASSERT_EQ(symlink("target.bin", dir.Path("xfade_temp.wav").c_str()), 0);
  r = fixture::RunTask(dir, task);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(fixture::FileExists(dir.Path("xfade_temp.wav")));
  EXPECT_EQ(fixture::ReadFile(dir.Path("target.bin")), target);

  const Bytes built = fixture::ReadFile(dir.Path("out.wav"));
  ASSERT_EQ(std::filesystem::remove(dir.Path("out.wav")), true);
  ASSERT_EQ(mkdir(dir.Path("xfade_temp.wav").c_str(), 0755), 0);
  r = fixture::RunTask(dir, task);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), built);
  EXPECT_TRUE(std::filesystem::is_directory(dir.Path("xfade_temp.wav")));
}

// Runs in one folder at once share the crossfade clip's name, yet each
// builds exactly what it builds alone, and none leaves anything behind:
// whether clips are made without a name, by the work file's name under the
// folder's lock, or, with no lock either, under names of their own.
TEST(BinarySplice, ConcurrentRunsInOneFolderBuildWhatEachBuildsAlone) {
  const Format f{8000, 16, 2};
  TempDir dir;
  std::vector<fixture::RunResult> alone;
  std::vector<Bytes> built;
  for (const std::string run : {"one", "two"}) {
    // 60 edits with crossfades of every type after a first edit without one.
    fixture::WriteNoise(dir.Path(run + ".src"), f, 8000, 31 + uint32_t(alone.size()),
                        alone.empty() ? 0 : fixture::kLongerHeader);
    std::string task = "using_samples\ndest\t" + run + ".wav\nsrc\t" + run + ".src\n";
    for (int k = 0; k < 60; ++k) {
      task += "src\t" + run + ".src\nxin\t" + std::to_string(100 + 37 * k) + "\nxout\t" +
              std::to_string(2500 + 37 * k) + "\nxf\t100\t" + std::to_string(1 + k % 4) + "\n";
    }
    fixture::WriteFile(dir.Path(run + ".txt"), fixture::Text(task));
    alone.push_back(fixture::RunSplyceIn(dir.path, {run + ".txt"}));
    ASSERT_EQ(alone.back().status, 0) << alone.back().output;
    built.push_back(fixture::ReadFile(dir.Path(run + ".wav")));
    std::filesystem::remove(dir.Path(run + ".wav"));
  }
  const std::vector<std::string> before = fixture::NamesIn(dir.path);
  for (const auto& [file_system, faults] : fixture::kFileSystems) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(file_system) + ", round " + std::to_string(round));
      const std::vector<fixture::RunResult> together = fixture::RunSplyceTogether(
          dir.path, {{"one.txt"}, {"two.txt"}}, fixture::WithFaults(faults));
      for (size_t j = 0; j < 2; ++j) {
        const std::string destination = dir.Path(j == 0 ? "one.wav" : "two.wav");
        EXPECT_EQ(together[j].status, 0);
        EXPECT_EQ(together[j].output, alone[j].output);
        EXPECT_TRUE(fixture::ReadFile(destination) == built[j]) << destination;
        std::filesystem::remove(destination);
      }
      EXPECT_EQ(fixture::NamesIn(dir.path), before);
    }
  }
}

}  // namespace
