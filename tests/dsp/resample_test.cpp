#include "dsp/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Converts `in` (mono) from 44.1 to 48 kHz, fed `piece` frames at a time,
// and drains the filter.
std::vector<double> Resampled(const std::vector<double>& in, int64_t piece) {
  std::vector<double> out(in.size() * 2);
  int64_t made = 0;
  EXPECT_TRUE(StartResampling(44100, 48000, 1));
  for (int64_t fed = 0; fed < int64_t(in.size());) {
    int64_t taken = 0;
    const int64_t count = std::min<int64_t>(piece, int64_t(in.size()) - fed);
    const int64_t n = Resample(in.data() + fed, count, &taken, out.data() + made,
                               int64_t(out.size()) - made);
    EXPECT_GE(n, 0);
    made += n;
    fed += taken;
  }
  for (int64_t n = 1; n > 0;) {
    int64_t taken = 0;
    n = Resample(nullptr, 0, &taken, out.data() + made, int64_t(out.size()) - made);
    made += std::max<int64_t>(n, 0);
  }
  StopResampling();
  out.resize(size_t(made));
  return out;
}

// The converter gives the same samples however its input is cut, and a
// tone keeps its level; a build without libsoxr converts nothing.
TEST(Resample, SameSamplesWhateverThePieces) {
  if (!CanResample()) {
    EXPECT_FALSE(StartResampling(44100, 48000, 1));
    return;
  }
  std::vector<double> tone;
  for (int k = 0; k < 44100; ++k) tone.push_back(1000.0 * std::sin(2 * M_PI * 441.0 * k / 44100));
  const std::vector<double> whole = Resampled(tone, 44100);
  EXPECT_EQ(whole.size(), 48000u);
  EXPECT_EQ(Resampled(tone, 1), whole);
  EXPECT_EQ(Resampled(tone, 1023), whole);
  double peak = 0;
  for (size_t k = 4800; k < 43200; ++k) peak = std::max(peak, std::fabs(whole[k]));
  EXPECT_NEAR(peak, 1000.0, 1.0);
}

}  // namespace
