#include "dsp/level.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "dsp/pcm_codec.h"
#include "support/destination_model.h"
#include "support/wav_fixture.h"

namespace {

using fixture::Bytes;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Scales a block holding `in` in every sample and checks every sample reads
// back as `out` (on the width's own scale, clipped to full scale), and that
// each counts as clipped when `clips` says so (a result beyond full scale,
// also beyond int32). A product that is not a number is silence.
TEST(Level, ScalesKnownSamples) {
  struct Case { double level; int32_t bits; int32_t in; int32_t out; bool clips; };
  const Case kCases[] = {
      {-6.0, 24, 1000, 501, false},       {-6.0, 24, -1000, -501, false},
      {-6.0, 16, 1000, 501, false},       {-6.0, 16, -1000, -501, false},
      {-20.0, 16, 10, 1, false},          {-20.0, 16, 3, 0, false},
      {20.0, 24, 100, 1000, false},       {6.0, 24, 8388607, 8388607, true},
      {6.0, 16, 32767, 32767, true},      {6.0, 16, -32768, -32768, true},
      {6.0, 16, 16422, 32766, false},     {6.0, 16, 16423, 32767, true},
      {23.899999618530273, 24, 1000, 15667, false},
      {50.0, 24, 1000, 316227, false},    {50.0, 24, 8388607, 8388607, true},
      {50.0, 24, -8388608, -8388608, true},
      {-kInf, 24, 8388607, 0, false},     {-kInf, 16, -32768, 0, false},
      {kInf, 24, 1000, 8388607, true},    {kInf, 16, 0, 0, false},
      {NAN, 24, 1000, 0, false},          {NAN, 16, -5, 0, false},
      {0.0, 24, -8388608, -8388608, false}, {0.0, 16, 32767, 32767, false},
      // Products that are whole numbers, which only the exact path settles.
      {20.0, 16, 100, 1000, false},       {20.0, 24, -838860, -8388600, false},
      {20.0, 24, 838861, 8388607, true},  {-200.0, 24, 8388607, 0, false},
      // Gains just inside and just outside the double-precision loop's range
      // (a factor of 128 on the working scale), and gains too small for it.
      {42.1, 24, 1000, 127350, false},    {42.1, 24, -8388608, -8388608, true},
      {42.2, 24, 1000, 128824, false},    {90.3, 16, 1, 32734, false},
      {90.3, 16, -3, -32768, true},       {90.4, 16, 1, 32767, true},
      {-6000.0, 24, 8388607, 0, false},   {-5400.0, 16, -32768, 0, false},
  };
  for (const Case& c : kCases) {
    for (int32_t channels = 1; channels <= 2; ++channels) {
      SCOPED_TRACE(testing::Message() << c.level << " dB, " << c.bits << "-bit, " << channels
                                      << " channels, sample " << c.in);
      const int32_t frames = 3;
      Bytes block = fixture::EncodeSamples(std::vector<int32_t>(frames * channels, c.in), c.bits);
      int64_t clipped = 5;  // counts on from what it holds
      EXPECT_EQ(NewLevel(block.data(), c.level, c.bits / 8, channels, frames, &clipped), 0);
      EXPECT_EQ(fixture::DecodeSamples(block, c.bits),
                std::vector<int32_t>(size_t(frames * channels), c.out));
      EXPECT_EQ(clipped, 5 + (c.clips ? frames * channels : 0));
    }
    // The model the exhaustive tests compare with gives the same values.
    EXPECT_EQ(fixture::Levelled({c.in}, c.level, c.bits), std::vector<int32_t>{c.out});
  }
}

TEST(Level, OverloudSamplesClipToTheseBytes) {
  Bytes wide = {0x00, 0x00, 0x50, 0x00, 0x00, 0xB0};
  Bytes narrow = {0x00, 0x50, 0x00, 0xB0};
  NewLevel(wide.data(), 6.0, 3, 2, 1);
  NewLevel(narrow.data(), 6.0, 2, 2, 1);
  EXPECT_EQ(wide, (Bytes{0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80}));
  EXPECT_EQ(narrow, (Bytes{0xFF, 0x7F, 0x00, 0x80}));
}

TEST(Level, LeavesUnsupportedBlocksUntouched) {
  struct Case { int32_t bytes_per_sample; int32_t channels; int32_t frames; SampleFormat format; };
  const SampleFormat kFloat = {kEncodingFloat, 0};
  const Case kCases[] = {
      {1, 1, 16, kPcmSamples}, {1, 2, 8, kPcmSamples},  {5, 1, 3, kPcmSamples},
      {2, 33, 2, kPcmSamples}, {2, 0, 2, kPcmSamples},  {2, 1, 0, kPcmSamples},
      {3, 2, -1, kPcmSamples}, {2, 1, 8, kFloat},       {3, 1, 5, kFloat},
      {4, 1, 4, {kEncodingInteger, 7}}, {2, 1, 8, {6, 0}},  // too few valid bits; A-law
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bytes_per_sample << " bytes, " << c.channels
                                    << " channels, " << c.frames << " frames, encoding "
                                    << c.format.encoding);
    const Bytes original = fixture::EncodeSamples(fixture::NoiseSamples(16, 1, 8, 7), 8);
    Bytes block = original;
    EXPECT_EQ(NewLevel(block.data(), -6.0, c.bytes_per_sample, c.channels, c.frames, nullptr,
                       c.format), 0);
    EXPECT_EQ(block, original);
  }
}

// A last partial block, and a block longer than the working arrays, are
// scaled throughout and nothing past their last frame changes.
TEST(Level, TouchesNothingPastTheLastFrame) {
  const int32_t kGuardBytes = 64;
  // Stereo chunks of the fast loop end every 512 frames.
  const int32_t kFrameCounts[] = {1, 300, 511, 512, 513, 1023, 1024, 1025, 2500};
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

// The same product in double precision, which a fast path may trust only
// where it truncates alike.
int32_t DoubleLevel(int32_t working, double gain, int32_t bits) {
  const double y = static_cast<double>(working) * gain * (bits == 16 ? 0.00390625 : 1.0);
  return fixture::Clipped(std::trunc((long double)y), bits);
}

// Levels `samples` (on their own width's scale) as one mono block and checks
// every result against the model of the level rule, fixture::Levelled, which
// the worked values of ScalesKnownSamples pin. Returns how many samples the
// double product would have truncated differently.
int32_t CheckAgainstExtended(const std::vector<int32_t>& samples, double level, int32_t bits) {
  const double gain = std::pow(10.0, level / 20.0);
  const int32_t scale = bits == 16 ? 256 : 1;
  const std::vector<int32_t> want = fixture::Levelled(samples, level, bits);
  int32_t double_misses = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    double_misses += DoubleLevel(samples[i] * scale, gain, bits) != want[i];
  }
  Bytes block = fixture::EncodeSamples(samples, bits);
  NewLevel(block.data(), level, bits / 8, 1, int32_t(samples.size()));
  const Bytes expected = fixture::EncodeSamples(want, bits);
  const size_t at =
      size_t(std::mismatch(block.begin(), block.end(), expected.begin()).first - block.begin()) /
      size_t(bits / 8);
  EXPECT_TRUE(at == samples.size()) << "sample " << samples[at] << " should become " << want[at];
  return double_misses;
}

// Levels whose gain is the double just below a fraction with a small
// denominator (1/3, 2/3, 0.7, 1.7, 1.9): a multiple of the denominator then
// gives a product just below an integer, which rounds up to it in double
// precision, so these levels take the extended path for many samples.
const double kNearFractionLevels[] = {-9.54242509439325, -3.521825181113625, -3.0980391997148637,
                                      4.608978427565479, 5.575072019056578};

TEST(Level, EqualsExtendedPrecisionForEvery16BitSample) {
  std::vector<int32_t> every;
  for (int32_t s = -32768; s <= 32767; ++s) every.push_back(s);
  const double kLevels[] = {-0.01, 20.0, 0.0, 23.899999618530273, 1e-13, -1e-13, -100.0};
  for (double level : kLevels) {
    SCOPED_TRACE(testing::Message() << level << " dB");
    CheckAgainstExtended(every, level, 16);
  }
  // Every level a task file can give, to a tenth of a dB, rounded to float
  // precision as the parser stores it.
  for (int32_t tenths = -240; tenths < 240; ++tenths) {
    const double level = static_cast<float>(tenths / 10.0);
    SCOPED_TRACE(testing::Message() << level << " dB");
    CheckAgainstExtended(every, level, 16);
  }
  for (double level : kNearFractionLevels) {
    SCOPED_TRACE(testing::Message() << level << " dB, gain just below a fraction");
    EXPECT_GT(CheckAgainstExtended(every, level, 16), 0);
  }
}

// Samples whose double product lies just below a whole number, at the first
// and last sample of chunks of the fast loop and alone in the middle of one,
// among noise: the chunks that hold them must come out exact throughout,
// and the chunks around them alike.
TEST(Level, EqualsExtendedPrecisionWhereChunksHoldDoubtfulSamples) {
  const int32_t kDoubtfulAt[] = {0, 700, 1023, 1024, 2047, 2048, 3071, 3999};
  for (int32_t bits : {16, 24}) {
    for (double level : kNearFractionLevels) {
      SCOPED_TRACE(testing::Message() << bits << "-bit, " << level << " dB");
      std::vector<int32_t> samples = fixture::NoiseSamples(4000, 1, bits, 17);
      // Gains just below 1/3, 2/3, 0.7, 1.7 and 1.9: multiples of 30 land just below whole numbers.
      int32_t multiple = 30;
      for (int32_t at : kDoubtfulAt) {
        samples[size_t(at)] = (at % 2 == 0 ? 1 : -1) * multiple;
        multiple += 30;
      }
      EXPECT_GT(CheckAgainstExtended(samples, level, bits), 0);
    }
  }
}

TEST(Level, EqualsExtendedPrecisionForRandom24BitSamplesAndGains) {
  std::vector<int32_t> samples = fixture::NoiseSamples(4096, 1, 24, 11);
  samples.insert(samples.end(), {0, 1, -1, 3, -3, 8388607, -8388608, 8388606, -8388607});
  std::mt19937 random(2024);
  std::uniform_real_distribution<double> any_level(-60.0, 24.0);
  std::uniform_real_distribution<double> near_zero(-1e-12, 1e-12);
  for (int32_t k = 0; k < 2000; ++k) {
    const double level = k % 4 == 0 ? near_zero(random) : any_level(random);
    SCOPED_TRACE(testing::Message() << "random level " << k << ": " << level << " dB");
    CheckAgainstExtended(samples, level, 24);
  }
  for (double level : kNearFractionLevels) {
    SCOPED_TRACE(testing::Message() << level << " dB, gain just below a fraction");
    EXPECT_GT(CheckAgainstExtended(samples, level, 24), 0);
  }
}

}  // namespace
