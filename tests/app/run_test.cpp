// Whole runs of the built binary, compared byte for byte with destinations
// the tests build on their own.
#include "app/run.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#ifdef SPLYCE_HAVE_SNDFILE
#include <sndfile.h>
#endif

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/destination_model.h"
#include "support/report.h"
#include "support/run_binary.h"
#include "support/snapshot.h"
#include "support/wav_fixture.h"

namespace {

using fixture::Bytes;
using fixture::HaveSox;
using fixture::Sox;
using fixture::Format;
using fixture::TempDir;


// What sox, as soxi, prints of a file in `dir`, asked with `args`.
std::string SoxSays(const TempDir& dir, const std::string& args) {
  EXPECT_EQ(std::system(("cd '" + dir.path + "' && sox --i " + args + " > sox.txt").c_str()), 0);
  const Bytes said = fixture::ReadFile(dir.Path("sox.txt"));
  return std::string(said.begin(), said.end());
}

// Decodes `name` in `dir` with sox into interleaved samples of `bits` bits,
// from frame `from` on.
std::vector<int32_t> SoxSamples(const TempDir& dir, const std::string& name, int32_t bits,
                                int32_t from = 0) {
  EXPECT_TRUE(Sox(dir, "-D '" + name + "' -t raw -e signed-integer -b " + std::to_string(bits) +
                           " -L decoded.raw trim " + std::to_string(from) + "s"));
  return fixture::DecodeSamples(fixture::ReadFile(dir.Path("decoded.raw")), bits);
}

TEST(BinaryRun, ReportsEachEditAndTheBuiltFile) {
  TempDir dir;
  const Format f{44100, 16, 2};
  const std::vector<int32_t> a = fixture::WriteNoise(dir.Path("a.wav"), f, 88200, 1);
  const fixture::RunResult r = fixture::RunTask(dir, "dest\tout.wav\nsrc\ta.wav\nins\t0\n");
  EXPECT_EQ(r.output,
            fixture::Report()
                .Read(1)
                .Task(1, "0.000", "a.wav", "0.000", "2.000", "0.000")
                .Built("out.wav", "2.000", 16, 2, 44100)
                .Text());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.errors, "");  // a clean run explains nothing
  Bytes expected = fixture::EmptyDestination(f, 88200);
  fixture::LayEdit(expected, f, a, 0, 88200, 0, 0.0);
  EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
}

TEST(BinaryRun, ReportsTasksInWriteOrderWithTheirFileNumbers) {
  TempDir dir;
  const Format f{8000, 24, 1};
  fixture::WriteNoise(dir.Path("a.wav"), f, 100, 3);
  const fixture::RunResult r = fixture::RunTask(
      dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t20\nsrc\ta.wav\nins\t5\nlvl\t-1.5\n"
           "src\ta.wav\nins\t10\nxin\t30\n");
  EXPECT_EQ(r.output,
            "Reading time values as samples.\n\nRead 3 entries in task file\n\n"
            "Task 2\tInsert point 5 samples\n\tFile a.wav\n\tRead start 0 samples\n"
            "\tRead length 100 samples\n\tLevel -1.500 dB\n\tDone\n\n"
            "Task 3\tInsert point 10 samples\n\tFile a.wav\n\tRead start 30 samples\n"
            "\tRead length 70 samples\n\tLevel 0.000 dB\n\tDone\n\n"
            "Task 1\tInsert point 20 samples\n\tFile a.wav\n\tRead start 0 samples\n"
            "\tRead length 100 samples\n\tLevel 0.000 dB\n\tDone\n\n"
            "Built\tout.wav\n\tLength 120 samples\n\tBits 24\n\tChannels 1\n\tSample rate 8000\n\n");
}

// One task, written in seconds and in frames, over every supported format:
// lead-in silence, an overlap won by the later edit, an appended edit, a
// gap that reads as zero, and levels.
TEST(BinaryRun, BuildsTheDestinationByteForByte) {
  const Format formats[] = {{8000, 16, 1}, {8000, 16, 2}, {8000, 24, 1}, {8000, 24, 2}};
  const char* const seconds_task =
      "dest\tout.wav\nsrc\ta.wav\nins\t0.5\nxin\t0.1\nxout\t0.6\nlvl\t-6.5\n"
      "src\tb.wav\nins\t0.75\nlvl\t2\nsrc\tc.wav\nxout\t0.25\nsrc\ta.wav\nins\t2\nxin\t0.9\nlvl\t23.9\n";
  const char* const frames_task =
      "using_samples\ndest\tout.wav\nsrc\ta.wav\nins\t4000\nxin\t800\nxout\t4800\nlvl\t-6.5\n"
      "src\tb.wav\nins\t6000\nlvl\t2\nsrc\tc.wav\nxout\t2000\nsrc\ta.wav\nins\t16000\nxin\t7200\nlvl\t23.9\n";
  for (const Format& f : formats) {
    for (const char* task : {seconds_task, frames_task}) {
      SCOPED_TRACE(std::to_string(f.bits) + " bits, " + std::to_string(f.channels) + " channels, " +
                   (task == frames_task ? "frames" : "seconds"));
      TempDir dir;
      const auto a = fixture::WriteNoise(dir.Path("a.wav"), f, 8000, 10, fixture::kLongerHeader);
      const auto b = fixture::WriteNoise(dir.Path("b.wav"), f, 4000, 11);
      const auto c = fixture::WriteNoise(dir.Path("c.wav"), f, 4000, 12, fixture::kLongerHeader);
      const fixture::RunResult r = fixture::RunTask(dir, task);
      ASSERT_EQ(r.status, 0) << r.output;
      Bytes expected = fixture::EmptyDestination(f, 16800);
      fixture::LayEdit(expected, f, a, 800, 4000, 4000, -6.5);
      fixture::LayEdit(expected, f, b, 0, 4000, 6000, 2.0);
      fixture::LayEdit(expected, f, c, 0, 2000, 10000, 0.0);
      fixture::LayEdit(expected, f, a, 7200, 800, 16000, double(23.9f));
      EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), expected);
    }
  }
}

// A chain of 60 appended edits with times to 1/100 s, of sources with no
// silent sample: the destination is the reads one after the other, with no
// frame of silence and no overlap at any join.
TEST(BinaryRun, AppendedEditsJoinWithoutGapOrOverlap) {
  for (int32_t rate : {44100, 48000}) {
    SCOPED_TRACE(rate);
    TempDir dir;
    const Format f{rate, 16, 1};
    const std::vector<int32_t> a(size_t(rate) * 3, 1111);
    const std::vector<int32_t> b(size_t(rate) * 3, -2222);
    fixture::WriteWav(dir.Path("a.wav"), f, a);
    fixture::WriteWav(dir.Path("b.wav"), f, b);
    std::string task = "dest\tout.wav\n";
    std::vector<int32_t> expected;
    for (int32_t k = 0; k < 60; ++k) {
      const int32_t in = 3 + k * 37 % 150;  // hundredths of a second
      const int32_t out = in + 1 + k * 13 % 90;
      task += std::string("src\t") + (k % 2 == 0 ? "a" : "b") + ".wav\nxin\t" +
              std::to_string(in / 100.0) + "\nxout\t" + std::to_string(out / 100.0) + "\n";
      const int64_t frames = int64_t(std::trunc((long double)(out / 100.0) * rate)) -
                             int64_t(std::trunc((long double)(in / 100.0) * rate));
      expected.insert(expected.end(), size_t(frames), k % 2 == 0 ? 1111 : -2222);
    }
    const fixture::RunResult r = fixture::RunTask(dir, task);
    ASSERT_EQ(r.status, 0) << r.output;
    const Bytes built = fixture::ReadFile(dir.Path("out.wav"));
    EXPECT_EQ(fixture::DecodeSamples(Bytes(built.begin() + 44, built.end()), 16), expected);
  }
}

// Formats beyond 16- and 24-bit integers: a plain copy moves their bytes as
// they are; a level and a crossfade follow the rules of each format, as an
// independent model has them, sample for sample; the destination's header
// says what the first source's did.
TEST(BinaryRun, WideFormatsCopyLevelAndMixByTheirOwnRules) {
  const fixture::WideFormat formats[] = {
      {32, 32, false, 2, 0},   {32, 24, false, 2, 0x3},  {24, 20, false, 1, 0x4},
      {16, 16, false, 6, 0x3F}, {32, 32, true, 2, 0},    {64, 64, true, 1, 0},
      {32, 32, true, 4, 0x33}, {64, 64, true, 32, 0},
  };
  const int32_t rate = 8000;
  const fixture::Fade fade = {400, 2, -4.5};  // 50 ms
  for (const fixture::WideFormat& f : formats) {
    SCOPED_TRACE(testing::Message() << f.bits << " bits (" << f.valid_bits << " valid), "
                                    << (f.is_float ? "float, " : "integer, ") << f.channels
                                    << " channels");
    TempDir dir;
    const std::vector<double> a = fixture::WideNoise(f, 3000, 1);
    const std::vector<double> b = fixture::WideNoise(f, 3000, 2);
    fixture::WriteFile(dir.Path("a.wav"), fixture::MakeWideWav(f, rate, fixture::EncodeWide(f, a)));
    fixture::WriteFile(dir.Path("b.wav"), fixture::MakeWideWav(f, rate, fixture::EncodeWide(f, b)));
    const fixture::RunResult r = fixture::RunTask(
        dir, "using_samples\ndest\tout.wav\nsrc\ta.wav\nsrc\tb.wav\nxin\t1000\nins\t1500\n"
             "lvl\t-4.5\nxf\t50\t2\n");
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    // The model: a whole at 0; the clip mixed from it and b's pre-roll; b
    // levelled at 1500; the clip laid from 1300.
    const size_t ch = size_t(f.channels);
    std::vector<double> expected(3500 * ch, 0.0);
    std::copy(a.begin(), a.end(), expected.begin());
    std::vector<double> clip;
    for (int32_t k = 0; k < fade.width; ++k) {
      double out = 0, in = 0;
      fixture::ReferenceGains(fade, k, &out, &in);
      for (size_t c = 0; c < ch; ++c) {
        clip.push_back(fixture::MixedWide(f, expected[size_t(1300 + k) * ch + c],
                                          b[size_t(800 + k) * ch + c], out, in));
      }
    }
    for (size_t i = 0; i < 2000 * ch; ++i) {
      expected[1500 * ch + i] = fixture::LevelledWide(f, b[1000 * ch + i], -4.5);
    }
    std::copy(clip.begin(), clip.end(), expected.begin() + long(1300 * ch));
    const Bytes built = fixture::ReadFile(dir.Path("out.wav"));
    EXPECT_EQ(fixture::DecodeWide(f, fixture::AudioOf(built)), expected);
    // The header: that of the sources, with the data chunk sized for 3500 frames.
    const Bytes header = fixture::MakeWideWav(f, rate, Bytes(3500 * ch * size_t(f.bits / 8), 0));
    EXPECT_EQ(Bytes(built.begin(), built.end() - long(3500 * ch * size_t(f.bits / 8))),
              Bytes(header.begin(), header.end() - long(3500 * ch * size_t(f.bits / 8))));
  }
}

// Wide formats as sox writes them (float with a fact chunk, extensible for
// 32-bit integers and more than two channels): a stretch from frame 100 and
// the rest appended to it make a destination whose audio, decoded by sox,
// is the source's from frame 100 on, byte for byte, and whose format sox and
// libsndfile read as the source's.
TEST(BinaryRun, IndependentReaderAgreesOnWideFormats) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  const char* const formats[] = {"-b 32 -e signed-integer -c 2", "-b 32 -e floating-point -c 2",
                                 "-b 64 -e floating-point -c 1", "-b 24 -e signed-integer -c 6",
                                 "-b 16 -e signed-integer -c 8"};
  for (const char* format : formats) {
    SCOPED_TRACE(format);
    TempDir dir;
    ASSERT_TRUE(Sox(dir, std::string("-n -r 48000 ") + format + " src.wav synth 6000s whitenoise"));
    const fixture::RunResult r = fixture::RunTask(
        dir, "using_samples\ndest\tout.wav\nsrc\tsrc.wav\nxin\t100\nxout\t700\n"
             "src\tsrc.wav\nxin\t700\n");
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    ASSERT_TRUE(Sox(dir, "src.wav -t raw src.raw trim 100s"));
    ASSERT_TRUE(Sox(dir, "out.wav -t raw out.raw"));
    EXPECT_EQ(fixture::ReadFile(dir.Path("out.raw")), fixture::ReadFile(dir.Path("src.raw")));
    for (const char* field : {"-e", "-b", "-c", "-r"}) {
      EXPECT_EQ(SoxSays(dir, std::string(field) + " out.wav"),
                SoxSays(dir, std::string(field) + " src.wav"));
    }
#ifdef SPLYCE_HAVE_SNDFILE
    // libsndfile reads the same format, and for more than two channels the
    // same speaker of each (one or two channels have a header without one).
    SF_INFO src_info = {}, out_info = {};
    SNDFILE* src = sf_open(dir.Path("src.wav").c_str(), SFM_READ, &src_info);
    SNDFILE* out = sf_open(dir.Path("out.wav").c_str(), SFM_READ, &out_info);
    ASSERT_TRUE(src != nullptr && out != nullptr);
    EXPECT_EQ(out_info.format & SF_FORMAT_SUBMASK, src_info.format & SF_FORMAT_SUBMASK);
    EXPECT_EQ(out_info.channels, src_info.channels);
    std::vector<int> src_map(size_t(src_info.channels)), out_map(size_t(out_info.channels));
    const bool src_mapped = sf_command(src, SFC_GET_CHANNEL_MAP_INFO, src_map.data(),
                                       int(src_map.size() * sizeof(int))) == SF_TRUE;
    const bool out_mapped = sf_command(out, SFC_GET_CHANNEL_MAP_INFO, out_map.data(),
                                       int(out_map.size() * sizeof(int))) == SF_TRUE;
    if (src_info.channels > 2) {
      EXPECT_EQ(out_mapped, src_mapped);
      EXPECT_EQ(out_map, src_map);
    }
    sf_close(src);
    sf_close(out);
#endif
  }
}

// A reader that is no part of this project decodes what the header declares.
TEST(BinaryRun, IndependentReaderDecodesTheDestination) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  TempDir dir;
  const Format f{48000, 24, 2};
  const auto a = fixture::WriteNoise(dir.Path("a.wav"), f, 4800, 21);
  const auto b = fixture::WriteNoise(dir.Path("b.wav"), f, 4800, 22, fixture::kLongerHeader);
  const fixture::RunResult r = fixture::RunTask(
      dir, "dest\tout.wav\nsrc\ta.wav\nins\t0.01\nlvl\t-3\nsrc\tb.wav\nxin\t0.05\n");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<int32_t> expected(size_t(480) * 2, 0);
  const auto first = fixture::Levelled(a, -3.0, 24);
  expected.insert(expected.end(), first.begin(), first.end());
  expected.insert(expected.end(), b.begin() + 2400 * 2, b.end());
  EXPECT_EQ(SoxSamples(dir, "out.wav", 24), expected);
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// Sources as ordinary tools write them, 16- and 24-bit stereo at 48000 Hz: a
// LIST/INFO comment holding "data" at an even offset before the audio, a long
// broadcast-wave "bext" chunk that puts the format and the audio past byte
// 131,076, LIST and id3 chunks after the audio, all of them at once, and a
// file sox writes itself. A stretch from frame 100 and the rest appended to
// it make a destination whose frames sox decodes as it decodes the source's
// from frame 100 on.
TEST(BinaryRun, IndependentReaderAgreesOnSourcesAsToolsWriteThem) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  // "data" 30 bytes into the chunk, past its head, "INFO", the ICMT head and
  // "Interview ": at an even offset, as every chunk starts at one.
  Bytes info = fixture::Text("INFO");
  Append(info, fixture::Chunk("ICMT", fixture::Text("Interview data from Tuesday")));
  const Bytes list = fixture::Chunk("LIST", info);
  const Bytes bext = fixture::Chunk("bext", Bytes(150000, 'A'));  // a long coding history
  Bytes after_audio = list;
  Append(after_audio, fixture::Chunk("id3 ", fixture::Text("ID3\x04 TIT2 take one")));
  for (int32_t bits : {16, 24}) {
    fixture::WavSpec plain = {48000, bits, 2};
    plain.format_code = bits == 24 ? 0xFFFE : 1;  // 24-bit files often come extensible
    std::vector<fixture::WavSpec> layouts(4, plain);  // comment, bext, chunks after, all
    layouts[0].before_data = layouts[3].before_data = list;
    layouts[1].before_format = layouts[3].before_format = bext;
    layouts[2].trailing = layouts[3].trailing = after_audio;
    for (size_t j = 0; j <= layouts.size(); ++j) {  // the last source written by sox
      SCOPED_TRACE(testing::Message() << bits << "-bit, layout " << j);
      TempDir dir;
      const auto samples = fixture::NoiseSamples(2000, 2, bits, uint32_t(bits));
      if (j < layouts.size()) {
        fixture::WriteFile(dir.Path("src.wav"),
                           fixture::MakeWav(layouts[j], fixture::EncodeSamples(samples, bits)));
      } else {
        ASSERT_TRUE(Sox(dir, "-n -r 48000 -b " + std::to_string(bits) +
                                 " -c 2 src.wav synth 2000s whitenoise"));
      }
      const fixture::RunResult r = fixture::RunTask(
          dir, "using_samples\ndest\tout.wav\nsrc\tsrc.wav\nxin\t100\nxout\t700\n"
               "src\tsrc.wav\nxin\t700\n");
      ASSERT_EQ(r.status, 0) << r.output;
      const std::vector<int32_t> want = SoxSamples(dir, "src.wav", bits, 100);
      EXPECT_EQ(want.size(), size_t(1900 * 2));
      EXPECT_EQ(SoxSamples(dir, "out.wav", bits), want);
    }
  }
}

TEST(BinaryCommandLine, HelpAndVersionAnswerWithoutRunning) {
  const char* const lines[] = {
      "\nSplyce version 2.21 (2f)", "\nHelp...",
      "You may run the program with an argument specifying the controlling text file.",
      "Otherwise, the program will look for task.txt.",
      "\nCommands (placed at the start of a line):", "\t'src' to specify a source file.",
      "\t'xin' to set source file copy start. Omitting assumes 0.",
      "\t'xout' to set source file copy stop. Omitting assumes end of file",
      "\t'trim' to modify xout.", "\t'ins' to set the insert point in the destination file.",
      "\tOmitting 'ins' assumes the current edit will be appended to previous.",
      "\t'lvl' to set the volume level of source.  Omitting sets it to 0 dB.",
      "\t'dest' to specify the destination file.",
      "\nAfter a command use a tab and then enter a value in seconds or a filename\nas appropriate.",
      "\nIf you prefer to enter sample values, type using_samples on the first line\nof the task file.",
      "\nOperation:", "\nxin, xout, trim and ins commands are placed on lines below the src command.",
      "\nOnly one dest command is needed per text file.",
      "\nEntries get re-sorted by insert values and earliest get written first.",
      "New edits overwrite overhanging previous edits.",
      "\nAll source tracks must be of the same bits, samplerate, and channels.",
      "Supported are 16, 24 and 32-bit integer and 32 and 64-bit float PCM, 1 to 32 channels,\nand .wav files only.",
      "The destination track will match the source track specifications.",
      "\nCrossfades are added with the command 'xf' followed by a tab",
      "and the width in milliseconds, followed by a tab and a type 1, 2, or 3.",
      "\nType 1 achieves an equal mix of both tracks at the splice point.",
      "\nType 2 achieves an equal mix without power compensation",
      "\nWith type 3, the decay of the file to the left of the splice is slow",
      "at first and then more rapid with time.",
      "\nWith type 4, the decay is fast at first and then slower with time",
      "\nExample: A 200 msec type 1 crossfade:", "xf    200     1\n"};
  std::string expected;
  for (const char* line : lines) expected += std::string(line) + "\n";
  // "--help" is the GNU spelling, answered with status 0.
  const std::tuple<const char*, std::string, int> cases[] = {
      {"help", expected, 1}, {"-h", expected, 1}, {"--help", expected, 0},
      {"--version", "splyce 2.21\n", 0}};
  for (const auto& [arg, output, status] : cases) {
    SCOPED_TRACE(arg);
    TempDir dir;
    const fixture::RunResult r = fixture::RunSplyceIn(dir.path, {arg, "ignored"});
    EXPECT_EQ(r.output, output);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.errors, "");
  }
}

// The options before the task files, and what the command line refuses.
TEST(BinaryCommandLine, OptionsComeBeforeTheTaskFiles) {
  struct Case {
    std::vector<std::string> args;
    std::string output;  // how standard output starts
    int status;
    std::string errors = "";  // when given, all of standard error
    std::string faults = "";  // system calls made to fail (see fault_shim.cpp)
  };
  const std::string read = fixture::Report(true).Read(1);
  const Case cases[] = {
      {{"--plan"}, "Option --plan takes a file name\n", 1},
      {{"--check", "--draw"}, "Option --draw takes a file name\n", 1},
      {{"--plan", "-", "--draw", "-", "one.txt"},
       "Options --plan and --draw cannot both write to standard output\n", 1},
      {{"--plan", "p.json", "one.txt", "one.txt"}, "Options --plan and --draw take one task file\n", 1},
      {{"--plan", "p.svg", "--draw", "p.svg", "one.txt"},
       "Options --plan and --draw cannot write to one file\n", 1},
      {{"--check", "--strict", "one.txt", "one.txt"}, read + "Task 1\tInsert point 0 samples", 0},
      {{"--strict", "--check", "warned.txt", "one.txt"}, read + read + "Task 1", 1},
      {{"--plan", "-", "one.txt"}, "{\n  \"schema\": \"splyce-plan/1\",\n", 0},
      // The plan's folder cannot be written to the disk after the rename.
      {{"--check", "--plan", "plan.json", "one.txt"}, read + "Cannot write file plan.json\n", 2,
       "splyce: error: \"plan.json\" could not be written: Input/output error\n",
       "fsync:EIO:after=1"},
      {{"--dry-run"}, "Cannot find file --dry-run that holds your instructions\n", 1,
       "splyce: error: \"--dry-run\" is no option, and no task file of that name exists: the "
       "options are --strict, --check, --plan FILE, --draw FILE, --help and --version, before the "
       "task files\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    TempDir dir;
    fixture::WriteNoise(dir.Path("a.wav"), {8000, 16, 2}, 1000, 3);
    fixture::WriteFile(dir.Path("one.txt"), fixture::Text("using_samples\ndest\tout.wav\nsrc\ta.wav\n"));
    fixture::WriteFile(dir.Path("warned.txt"),
                       fixture::Text("using_samples\ndest\tout.wav\nsrc\ta.wav\nxout\t5000\n"));
    const fixture::RunResult r = fixture::RunSplyceIn(dir.path, c.args, fixture::WithFaults(c.faults));
    EXPECT_EQ(r.output.substr(0, c.output.size()), c.output);
    EXPECT_EQ(r.status, c.status);
    if (!c.errors.empty()) {
      EXPECT_EQ(r.errors, c.errors);
    }
    EXPECT_FALSE(fixture::FileExists(dir.Path("out.wav")) && c.args[0] != "--plan");
  }
}

// Each example task file, checked, plans what its run then builds, and the
// check leaves the folder as it was.
TEST(BinaryCheck, ExamplesPlanWhatTheyBuild) {
  TempDir dir;
  ASSERT_EQ(std::system(("cd '" + dir.path + "' && '" SPLYCE_MAKE_DEMO_SOURCES "'").c_str()), 0);
  DIR* examples = opendir(SPLYCE_SOURCE_DIR "/examples");
  ASSERT_NE(examples, nullptr);
  std::set<std::string> names;
  for (dirent* e = readdir(examples); e != nullptr; e = readdir(examples)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".txt") names.insert(name);
  }
  closedir(examples);
#ifndef SPLYCE_HAVE_SOXR
  names.erase("mixed.txt");  // converts rates
#endif
  ASSERT_GE(names.size(), 6u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    fixture::WriteFile(dir.Path(name), fixture::ReadFile(SPLYCE_SOURCE_DIR "/examples/" + name));
    const fixture::Snapshot before = fixture::Take(dir.path);
    const fixture::RunResult checked = fixture::RunSplyceIn(dir.path, {"--check", name});
    EXPECT_TRUE(fixture::Take(dir.path) == before);
    const fixture::RunResult built = fixture::RunSplyceIn(dir.path, {name});
    EXPECT_EQ(built.status, 0);
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.output, fixture::PlannedReport(built.output));
  }
}

}  // namespace
