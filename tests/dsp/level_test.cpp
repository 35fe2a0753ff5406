#include "dsp/level.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "dsp/pcm_codec.h"
#include "support/wav_fixture.h"

namespace {

using fixture::Bytes;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Scales a block holding `in` in every sample and checks every sample reads
// back as `out` (on the width's own scale, after wrap-around).
TEST(Level, ScalesKnownSamples) {
  struct Case { double level; int32_t bits; int32_t in; int32_t out; };
  const Case kCases[] = {
      {-6.0, 24, 1000, 501},       {-6.0, 24, -1000, -501},    {-6.0, 16, 1000, 501},
      {-6.0, 16, -1000, -501},     {-20.0, 16, 10, 1},         {-20.0, 16, 3, 0},
      {20.0, 24, 100, 1000},       {6.0, 24, 8388607, -39745}, {6.0, 16, 32767, -158},
      {23.899999618530273, 24, 1000, 15667},                   {50.0, 24, 1000, 316227},
      {50.0, 24, 8388607, 0},      {-kInf, 24, 8388607, 0},    {-kInf, 16, -32768, 0},
      {kInf, 24, 1000, 0},         {kInf, 16, 0, 0},           {NAN, 24, 1000, 0},
      {NAN, 16, -5, 0},            {0.0, 24, -8388608, -8388608}, {0.0, 16, 32767, 32767},
  };
  for (const Case& c : kCases) {
    for (int32_t channels = 1; channels <= 2; ++channels) {
      SCOPED_TRACE(testing::Message() << c.level << " dB, " << c.bits << "-bit, " << channels
                                      << " channels, sample " << c.in);
      const int32_t frames = 3;
      Bytes block = fixture::EncodeSamples(std::vector<int32_t>(frames * channels, c.in), c.bits);
      EXPECT_EQ(NewLevel(block.data(), c.level, c.bits / 8, channels, frames), 0);
      EXPECT_EQ(fixture::DecodeSamples(block, c.bits),
                std::vector<int32_t>(size_t(frames * channels), c.out));
    }
  }
}

TEST(Level, OverloudSamplesWrapToTheseBytes) {
  Bytes wide = {0xFF, 0xFF, 0x7F};
  Bytes narrow = {0xFF, 0x7F};
  NewLevel(wide.data(), 6.0, 3, 1, 1);
  NewLevel(narrow.data(), 6.0, 2, 1, 1);
  EXPECT_EQ(wide, (Bytes{0xBF, 0x64, 0xFF}));
  EXPECT_EQ(narrow, (Bytes{0x62, 0xFF}));
}

TEST(Level, LeavesUnsupportedBlocksUntouched) {
  struct Case { int32_t bytes_per_sample; int32_t channels; int32_t frames; };
  const Case kCases[] = {{1, 1, 16}, {1, 2, 8}, {4, 1, 4}, {4, 2, 2},
                         {2, 3, 2},  {3, 3, 1}, {2, 1, 0}, {3, 2, -1}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bytes_per_sample << " bytes, " << c.channels
                                    << " channels, " << c.frames << " frames");
    const Bytes original = fixture::EncodeSamples(fixture::NoiseSamples(16, 1, 8, 7), 8);
    Bytes block = original;
    EXPECT_EQ(NewLevel(block.data(), -6.0, c.bytes_per_sample, c.channels, c.frames), 0);
    EXPECT_EQ(block, original);
  }
}

// A last partial block, and a block longer than the working arrays, are
// scaled throughout and nothing past their last frame changes.
TEST(Level, TouchesNothingPastTheLastFrame) {
  const int32_t kGuardBytes = 64;
  const int32_t kFrameCounts[] = {1, 300, 1023, 1024, 2500};
  for (int32_t frames : kFrameCounts) {
    for (int32_t bits : {16, 24}) {
      SCOPED_TRACE(testing::Message() << frames << " frames of " << bits << "-bit stereo");
      std::vector<int32_t> in, out;
      for (int32_t i = 0; i < frames; ++i) {
        in.insert(in.end(), {1000, -1000});
        out.insert(out.end(), {501, -501});
      }
      Bytes block = fixture::EncodeSamples(in, bits);
      block.insert(block.end(), size_t(kGuardBytes), 0xA5);
      NewLevel(block.data(), -6.0, bits / 8, 2, frames);
      Bytes expected = fixture::EncodeSamples(out, bits);
      expected.insert(expected.end(), size_t(kGuardBytes), 0xA5);
      EXPECT_EQ(block, expected);
    }
  }
}

}  // namespace
