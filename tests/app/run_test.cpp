// Whole runs of the built binary, compared byte for byte with destinations
// the tests build on their own.
#include "app/run.h"

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
#include "support/wav_fixture.h"

namespace {

using fixture::Bytes;
using fixture::HaveSox;
using fixture::Sox;
using fixture::Format;
using fixture::TempDir;

// The extra chunk that gives some sources their audio at byte 78, not 44.
constexpr int32_t kLongerHeader = 26;

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

TEST(Run, ReportsEachEditAndTheBuiltFile) {
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

TEST(Run, ReportsTasksInWriteOrderWithTheirFileNumbers) {
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
TEST(Run, BuildsTheDestinationByteForByte) {
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
      const auto a = fixture::WriteNoise(dir.Path("a.wav"), f, 8000, 10, kLongerHeader);
      const auto b = fixture::WriteNoise(dir.Path("b.wav"), f, 4000, 11);
      const auto c = fixture::WriteNoise(dir.Path("c.wav"), f, 4000, 12, kLongerHeader);
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
TEST(Run, AppendedEditsJoinWithoutGapOrOverlap) {
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

// Destinations past 2 GiB, mostly silence: a RIFF file up to 4 GiB, whose
// header declares the frames with sizes read as unsigned 32-bit values, and
// an RF64 file past it, whose ds64 chunk declares them; each holds exactly
// its frames, and the silence takes no writes and no room on disk. Readers
// that are no part of this project find every frame.
TEST(Run, DestinationsPastTwoGiBAreHeldSparsely) {
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

// Formats beyond 16- and 24-bit integers: a plain copy moves their bytes as
// they are; a level and a crossfade follow the rules of each format, as an
// independent model has them, sample for sample; the destination's header
// says what the first source's did.
TEST(Run, WideFormatsCopyLevelAndMixByTheirOwnRules) {
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

TEST(Run, ReplacesAnExistingDestination) {
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

// Wide formats as sox writes them (float with a fact chunk, extensible for
// 32-bit integers and more than two channels): a stretch from frame 100 and
// the rest appended to it make a destination whose audio, decoded by sox,
// is the source's from frame 100 on, byte for byte, and whose format sox and
// libsndfile read as the source's.
TEST(Run, IndependentReaderAgreesOnWideFormats) {
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
TEST(Run, IndependentReaderDecodesTheDestination) {
  if (!HaveSox()) GTEST_SKIP() << "sox is not installed";
  TempDir dir;
  const Format f{48000, 24, 2};
  const auto a = fixture::WriteNoise(dir.Path("a.wav"), f, 4800, 21);
  const auto b = fixture::WriteNoise(dir.Path("b.wav"), f, 4800, 22, kLongerHeader);
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
TEST(Run, IndependentReaderAgreesOnSourcesAsToolsWriteThem) {
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

// The names in `dir`, sorted.
std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Where the run finds no unnamed files, and no lock either: each kind of run
// the file system allows, by the faults that make it (see fault_shim.cpp).
const std::pair<const char*, const char*> kFileSystems[] = {
    {"unnamed files and locks", ""},
    {"no unnamed files", "open:EOPNOTSUPP:flags=tmpfile"},
    {"no unnamed files and no lock", "open:EOPNOTSUPP:flags=tmpfile;flock:ENOLCK"},
};

// A run ended from outside part-way (Ctrl-C, kill, a closed terminal, a
// reader of its report that has gone, a timer or a CPU limit) leaves no
// build file, no crossfade clip, no file a source is converted in, and the
// earlier destination as it was; even SIGKILL, where files can be built and
// clips made without a name.
TEST(Run, EndingPartWayLeavesTheEarlierDestinationAlone) {
  for (const auto& [file_system, faults] : kFileSystems) {
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
      EXPECT_EQ(NamesIn(dir.path), (std::vector<std::string>{"a.wav", "out.wav", "task.txt"}));
      EXPECT_EQ(fixture::ReadFile(dir.Path("out.wav")), earlier);
    }
  }
}

// The first name the finished build file would take beside the destination
// is another file: the next name is taken, and that file is left alone.
TEST(Run, PassesOverASideNameThatIsTaken) {
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
  const std::vector<std::string> names = NamesIn(dir.path);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[2].substr(0, 8), "out.wav.");
  EXPECT_EQ(fixture::ReadFile(dir.Path(names[2])), fixture::Text("stale"));
}

// Runs in one folder at once share the crossfade clip's name, yet each
// builds exactly what it builds alone, and none leaves anything behind:
// whether clips are made without a name, by the work file's name under the
// folder's lock, or, with no lock either, under names of their own.
TEST(Run, ConcurrentRunsInOneFolderBuildWhatEachBuildsAlone) {
  const Format f{8000, 16, 2};
  TempDir dir;
  std::vector<fixture::RunResult> alone;
  std::vector<Bytes> built;
  for (const std::string run : {"one", "two"}) {
    // 60 edits with crossfades of every type after a first edit without one.
    fixture::WriteNoise(dir.Path(run + ".src"), f, 8000, 31 + uint32_t(alone.size()),
                        alone.empty() ? 0 : kLongerHeader);
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
  const std::vector<std::string> before = NamesIn(dir.path);
  for (const auto& [file_system, faults] : kFileSystems) {
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
      EXPECT_EQ(NamesIn(dir.path), before);
    }
  }
}

}  // namespace
