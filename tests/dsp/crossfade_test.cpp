#include "dsp/crossfade.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/destination_model.h"
#include "support/temp_dir.h"
#include "support/wav_fixture.h"
#include "wav/wav_file.h"

namespace {

using fixture::Bytes;
using Samples = std::vector<int32_t>;

// One crossfade call in a fresh directory: its files, format and arguments.
struct Splice {
  int32_t bits = 16;
  int32_t channels = 1;
  int32_t insert = 0;
  int32_t read_start = 0;
  int32_t width = 0;
  int32_t type = 2;
  double level = 0.0;
  fixture::Format FileFormat() const { return {44100, bits, channels}; }
};

// Gives the clip a fresh 44-byte header, runs CROSSFADE on dest.wav and
// src.wav and returns the status; `output` receives standard output, and
// `clipped`, when given, the count of mixed values clipped to full scale.
int32_t RunSplice(const fixture::TempDir& dir, const Splice& s, std::string* output,
                  int64_t* clipped = nullptr) {
  fixture::WavSpec layout;
  layout.bits = s.bits;
  layout.channels = s.channels;
  fixture::WriteFile(dir.Path("xfade_temp.wav"), fixture::MakeWav(layout, {}));
  testing::internal::CaptureStdout();
  const int32_t status =
      CROSSFADE(s.insert, s.read_start, s.width, s.type, dir.Path("dest.wav").c_str(),
                dir.Path("src.wav").c_str(), dir.Path("xfade_temp.wav").c_str(), s.channels,
                s.bits / 8, s.level, clipped);
  *output = testing::internal::GetCapturedStdout();
  return status;
}

// Returns the clip's samples after its header, on their own width's scale.
Samples ClipSamples(const fixture::TempDir& dir, const Splice& s) {
  const Bytes clip = fixture::ReadFile(dir.Path("xfade_temp.wav"));
  EXPECT_EQ(clip.size(), size_t(kHeaderBytes + s.width * s.channels * s.bits / 8));
  return fixture::DecodeSamples(Bytes(clip.begin() + kHeaderBytes, clip.end()), s.bits);
}

// The clip an independent model expects for this splice.
Samples ReferenceClip(const Splice& s, const Samples& dest, const Samples& src) {
  return fixture::ReferenceClip({0, s.bits, s.channels}, {s.width, s.type, s.level}, s.insert,
                                s.read_start, dest, src);
}

// Clips of noise against the reference for every format, type and level, and
// with a source read that starts less than half a width into the source:
// the pre-roll it lacks is silence.
TEST(Crossfade, MixesEveryFormatTypeAndLevel) {
  const int32_t kFrames = 3000;
  for (int32_t bits : {16, 24}) {
    for (int32_t channels : {1, 2}) {
      fixture::TempDir dir;
      Splice s;
      s.bits = bits;
      s.channels = channels;
      const Samples dest = fixture::NoiseSamples(kFrames, channels, bits, 1);
      const Samples src = fixture::NoiseSamples(kFrames, channels, bits, 2);
      fixture::WriteWav(dir.Path("dest.wav"), s.FileFormat(), dest);
      fixture::WriteWav(dir.Path("src.wav"), s.FileFormat(), src);
      for (int32_t type = 1; type <= 4; ++type) {
        // 35.9 and 36.2 dB: level factors just inside and just outside the
        // double-precision mix's range (64).
        for (double level : {0.0, -6.5, 3.0, 23.899999618530273, 35.9, 36.2}) {
          SCOPED_TRACE(testing::Message() << bits << "-bit, " << channels << " ch, type " << type
                                          << ", " << level << " dB");
          s.type = type;
          s.level = level;
          s.width = 1025;
          s.insert = 1500;
          s.read_start = level == 3.0 ? 300 : 1200;
          std::string output;
          ASSERT_EQ(RunSplice(dir, s, &output), kCrossfadeOk);
          EXPECT_EQ(output, "");
          const Samples clip = ClipSamples(dir, s);
          EXPECT_EQ(clip, ReferenceClip(s, dest, src));
          // The first frame is destination frame insert - H, untouched.
          const size_t first = size_t((s.insert - s.width / 2) * channels);
          EXPECT_EQ(Samples(clip.begin(), clip.begin() + channels),
                    Samples(dest.begin() + long(first), dest.begin() + long(first) + channels));
        }
      }
    }
  }
}

// Widths around the block size, the mix step (2048 frames), the clip held in
// memory (24576 frames of 16-bit stereo) and the run's gain table (48000
// frames), in an order that returns to widths met before; the clip holds
// exactly W frames after its header.
TEST(Crossfade, WritesWidthFramesInBlocks) {
  const int32_t kFrames = 120000;
  fixture::TempDir dir;
  Splice s;
  s.channels = 2;
  const Samples dest = fixture::NoiseSamples(kFrames, 2, 16, 3);
  const Samples src = fixture::NoiseSamples(kFrames, 2, 16, 4);
  fixture::WriteWav(dir.Path("dest.wav"), s.FileFormat(), dest);
  fixture::WriteWav(dir.Path("src.wav"), s.FileFormat(), src);
  for (int32_t width : {0, 1, 1024, 1025, 4410, 2047, 2048, 2049, 1025, 24576, 24577, 48000,
                        48001, 110000, 4410}) {
    SCOPED_TRACE(testing::Message() << "W " << width);
    s.width = width;
    s.insert = 60000;
    s.read_start = 58000;
    std::string output;
    ASSERT_EQ(RunSplice(dir, s, &output), kCrossfadeOk);
    EXPECT_EQ(ClipSamples(dir, s), ReferenceClip(s, dest, src));
  }
}

// Destination and source both hold 100 frames.
TEST(Crossfade, ChecksTheFirstFrameOfEachWindow) {
  struct Case { const char* name; int32_t insert, read_start, width, status; const char* output; };
  const Case kCases[] = {
      {"read start 0: pre-roll of silence", 50, 0, 2, 0, ""},
      {"source window from before its first frame", 50, 5, 20, 0, ""},
      {"insert below H", 9, 10, 20, 1, "Invalid crossfade for destination file\n"},
      {"both below H", 9, 9, 20, 1, "Invalid crossfade for destination file\n"},
      {"insert exactly H", 10, 10, 20, 0, ""},
      {"destination window at its end", 110, 10, 20, 0, ""},
      {"source window at its end", 10, 110, 20, 0, ""},
      {"destination window past its end", 111, 10, 20, 1, "Invalid crossfade for destination file\n"},
      {"source window past its end", 10, 111, 20, 2, "Invalid crossfade for source file\n"},
      {"W 0 at frame 0", 0, 0, 0, 0, ""},
      {"offset that wraps in 32 bits", 1073741834, 0, 0, 1, "Invalid crossfade for destination file\n"},
      {"negative offset that wraps", -1073741814, 0, 0, 1, "Invalid crossfade for destination file\n"},
  };
  fixture::TempDir dir;
  Splice s;
  s.channels = 2;
  fixture::WriteNoise(dir.Path("dest.wav"), s.FileFormat(), 100, 5);
  fixture::WriteNoise(dir.Path("src.wav"), s.FileFormat(), 100, 6);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    s.insert = c.insert;
    s.read_start = c.read_start;
    s.width = c.width;
    std::string output;
    EXPECT_EQ(RunSplice(dir, s, &output), c.status);
    EXPECT_EQ(output, c.output);
    if (c.status != 0) s.width = 0;  // a failed call leaves the header alone
    ClipSamples(dir, s);
  }
}

TEST(Crossfade, ReportsTheFirstFileThatFails) {
  const Bytes kNoData = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
  struct Case { const char* name; bool dest, src, clip_dir, dest_data, src_data; int32_t status;
                const char* output; };
  const Case kCases[] = {
      {"all missing", false, false, false, true, true, 1, ""},
      {"destination and source missing", false, false, true, true, true, 1, ""},
      {"source and clip missing", true, false, false, true, true, 2, ""},
      {"clip missing", true, true, false, true, true, 3, ""},
      {"clip missing, no data tags", true, true, false, false, false, 3, ""},
      {"no data tag anywhere", true, true, true, false, false, 1, "Data block not found error\n"},
      {"no data tag in the source", true, true, true, true, false, 2, "Data block not found error\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fixture::TempDir dir;
    Splice s;
    s.insert = s.read_start = 10;
    s.width = 4;
    const Bytes wav = fixture::MakeWav({}, Bytes(400, 1));
    if (c.dest) fixture::WriteFile(dir.Path("dest.wav"), c.dest_data ? wav : kNoData);
    if (c.src) fixture::WriteFile(dir.Path("src.wav"), c.src_data ? wav : kNoData);
    testing::internal::CaptureStdout();
    const std::string clip = dir.Path(c.clip_dir ? "xfade_temp.wav" : "absent/xfade_temp.wav");
    const int32_t status = CROSSFADE(10, 10, 4, 2, dir.Path("dest.wav").c_str(),
                                     dir.Path("src.wav").c_str(), clip.c_str(), 2, 2, 0.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    EXPECT_EQ(status, c.status);
    if (c.clip_dir) {
      EXPECT_EQ(fixture::ReadFile(clip).size(), 0u);  // nothing appended
    }
  }
}

TEST(Crossfade, GainsOfTheCurves) {
  struct Case { int32_t type, k, width; double level; double out, in; double tolerance; };
  const Case kCases[] = {
      {2, 99, 100, 0.0, 0.01, 0.99, 1e-15},
      {2, 50, 100, 0.0, 0.5, 0.5, 0.0},
      {2, 50, 100, 6.0, 0.5, 0.99763115748443976, 1e-15},
      {1, 2205, 4410, 0.0, 0.70710678111, 0.70710678126, 1e-11},
      {3, 50, 100, 0.0, 0.70710678111, 0.29289321889, 1e-11},
      {4, 50, 100, 0.0, 0.29289321874, 0.70710678126, 1e-11},
      {1, 0, 7, 6.0, 1.0, 0.0, 0.0},
      {3, 0, 7, -6.0, 1.0, 0.0, 0.0},
      {4, 0, 7, 20.0, 1.0, 0.0, 0.0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << ", k " << c.k << " of " << c.width
                                    << ", " << c.level << " dB");
    double out = -1, in = -1;
    CrossfadeGains(c.type, c.k, c.width, std::pow(10.0, c.level / 20.0), c.level != 0.0, &out,
                   &in);
    EXPECT_NEAR(out, c.out, c.tolerance);
    EXPECT_NEAR(in, c.in, c.tolerance);
    // The model the clip tests compare with gives the same gains.
    fixture::ReferenceGains({c.width, c.type, c.level}, c.k, &out, &in);
    EXPECT_NEAR(out, c.out, c.tolerance);
    EXPECT_NEAR(in, c.in, c.tolerance);
  }
}

// Mixed values at one clip frame of constant material: truncation toward
// zero, extended precision and clipping at full scale.
TEST(Crossfade, MixesOneFrameExactly) {
  struct Case { const char* name; int32_t bits, type, width, k, d, s; Bytes expected; };
  const Case kCases[] = {
      {"-1.5 truncates to -1", 16, 2, 4, 2, -3, 0, {0xFF, 0xFF}},
      {"1.5 truncates to 1", 16, 2, 4, 2, 3, 0, {0x01, 0x00}},
      {"just below 2 stays 1", 24, 2, 3, 1, 3, 0, {0x01, 0x00, 0x00}},
      {"42426 clips to 32767", 16, 1, 4410, 2205, 30000, 30000, {0xFF, 0x7F}},
      {"-42426 clips to -32768", 16, 1, 4410, 2205, -30000, -30000, {0x00, 0x80}},
      // Whole-number results, which only the exact path settles, at the first
      // frame of a mix step and at the first frame of the clip.
      {"exactly 1 at a step's first frame", 24, 2, 4096, 2048, 2, 0, {0x01, 0x00, 0x00}},
      {"exactly -1 at a step's first frame", 16, 2, 4096, 2048, -2, 0, {0xFF, 0xFF}},
      {"first frame of a clip is the destination", 24, 1, 100, 0, -8388608, 5,
       {0x00, 0x00, 0x80}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    fixture::TempDir dir;
    Splice s;
    s.bits = c.bits;
    s.type = c.type;
    s.width = c.width;
    s.insert = s.read_start = c.width;
    fixture::WriteWav(dir.Path("dest.wav"), s.FileFormat(), Samples(size_t(3 * c.width), c.d));
    fixture::WriteWav(dir.Path("src.wav"), s.FileFormat(), Samples(size_t(3 * c.width), c.s));
    std::string output;
    ASSERT_EQ(RunSplice(dir, s, &output), 0);
    const Bytes clip = fixture::ReadFile(dir.Path("xfade_temp.wav"));
    const size_t at = size_t(kHeaderBytes + c.k * c.bits / 8);
    EXPECT_EQ(Bytes(clip.begin() + long(at), clip.begin() + long(at + c.expected.size())),
              c.expected);
  }
}

// Type 2 over four frames of constant material: gains 1 and 0, 0.75 and
// 0.25, 0.5 and 0.5, 0.25 and 0.75 before the level. A value beyond full
// scale counts as clipped; a gain that is not a number mixes silence.
TEST(Crossfade, CountsTheMixedValuesThatClip) {
  struct Case { int32_t bits, channels; double level; int32_t d, s; int64_t clips; };
  const Case kCases[] = {
      {16, 1, 6.0, 30000, 30000, 3},         // 30000, 37461, 44929, 52392
      {16, 1, 0.0, 30000, 30000, 0},         // 30000 throughout
      {24, 2, 0.0, 8000000, 8000000, 0},
      {24, 2, 6.0, 8000000, 8000000, 6},
      {24, 2, 6.0, -8000000, -8000000, 6},
      {16, 2, NAN, 5, 5, 0},                 // every gain in is not a number
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bits << "-bit, " << c.channels << " ch, " << c.level
                                    << " dB, samples " << c.d << " and " << c.s);
    fixture::TempDir dir;
    Splice s;
    s.bits = c.bits;
    s.channels = c.channels;
    s.width = 4;
    s.level = c.level;
    s.insert = s.read_start = 4;
    fixture::WriteWav(dir.Path("dest.wav"), s.FileFormat(), Samples(size_t(12 * c.channels), c.d));
    fixture::WriteWav(dir.Path("src.wav"), s.FileFormat(), Samples(size_t(12 * c.channels), c.s));
    std::string output;
    int64_t clipped = 2;  // counts on from what it holds
    ASSERT_EQ(RunSplice(dir, s, &output, &clipped), kCrossfadeOk);
    EXPECT_EQ(clipped, 2 + c.clips);
  }
}

// A window that runs past the end of a file's audio mixes silence there; a
// trailing partial frame and a chunk after the audio are not audio.
TEST(Crossfade, MixesSilencePastTheEndOfAFile) {
  struct Case { const char* name; bool short_destination; fixture::Bytes trailing; };
  const Case kCases[] = {
      {"destination ends early", true, {0x7F, 0x7F, 0x7F, 0x7F, 0x7F}},  // five bytes of a sixth
      {"source ends early", false, {0x7F, 0x7F, 0x7F, 0x7F, 0x7F}},
      {"destination audio ends before a chunk", true, fixture::Chunk("LIST", Bytes(600, 0x7F))},
      {"source audio ends before a chunk", false, fixture::Chunk("id3 ", Bytes(600, 0x7F))},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const bool short_destination = c.short_destination;
    fixture::TempDir dir;
    Splice s;
    s.bits = 24;
    s.channels = 2;
    s.width = 1100;
    s.insert = s.read_start = 600;
    const Samples full(2 * 2000, 4000000);
    const Samples short_file(2 * 100, 4000000);
    fixture::WavSpec layout;
    layout.bits = 24;
    layout.trailing = c.trailing;
    const Samples& dest = short_destination ? short_file : full;
    const Samples& src = short_destination ? full : short_file;
    const std::string short_path = dir.Path(short_destination ? "dest.wav" : "src.wav");
    fixture::WriteWav(dir.Path("dest.wav"), s.FileFormat(), dest);
    fixture::WriteWav(dir.Path("src.wav"), s.FileFormat(), src);
    fixture::WriteFile(short_path, fixture::MakeWav(layout, fixture::EncodeSamples(short_file, 24)));
    std::string output;
    ASSERT_EQ(RunSplice(dir, s, &output), 0);
    EXPECT_EQ(ClipSamples(dir, s), ReferenceClip(s, dest, src));
  }
}

TEST(Crossfade, WritesSilenceForFormatsItCannotMix) {
  struct Case { int32_t bits, channels; };
  const Case kCases[] = {{8, 1}, {8, 2}, {16, 33}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bits << "-bit, " << c.channels << " channels");
    fixture::TempDir dir;
    Splice s;
    s.bits = c.bits;
    s.channels = c.channels;
    s.width = 1025;
    s.insert = s.read_start = 600;
    fixture::WriteNoise(dir.Path("dest.wav"), s.FileFormat(), 2000, 9);
    fixture::WriteNoise(dir.Path("src.wav"), s.FileFormat(), 2000, 10);
    std::string output;
    ASSERT_EQ(RunSplice(dir, s, &output), 0);
    const Bytes clip = fixture::ReadFile(dir.Path("xfade_temp.wav"));
    EXPECT_EQ(Bytes(clip.begin() + kHeaderBytes, clip.end()),
              Bytes(size_t(s.width * c.channels * c.bits / 8), 0));
  }
}

}  // namespace
