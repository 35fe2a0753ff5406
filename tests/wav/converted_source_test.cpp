#include "wav/converted_source.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dsp/resample.h"
#include "support/in_process.h"
#include "support/temp_dir.h"
#include "support/wav_fixture.h"

namespace {

using ConvertedSource = fixture::RestoringTest;

constexpr StreamFormat kMono16 = {2, {kEncodingInteger, 0}, 1};
constexpr StreamFormat kStereo24 = {3, {kEncodingInteger, 0}, 2};

// A stretch at the source's own rate: `before` frames before the origin and
// `after` from it, silence where they reach past the source's ends, in the
// destination's format under a header of its own.
TEST_F(ConvertedSource, CopiesAStretchWithSilencePastTheEnds) {
  fixture::TempDir dir;
  fixture::WriteWav(dir.Path("src.wav"), {8000, 16, 1}, {100, -200, 300});
  const std::string out = dir.Path("stretch.wav");
  const int64_t clipped = CONVERT_FILE(out.c_str(), dir.Path("src.wav").c_str(), kMono16,
                                       kStereo24, {kEncodingInteger, 24, 0},
                                       {8000, 8000, 1, 2, 4});
  EXPECT_EQ(clipped, 0);
  // Source frames -1 to 4: silence, 100, -200, 300, silence, silence.
  const std::vector<int32_t> expected = {0,     0,      25600, 25600, -51200, -51200,
                                         76800, 76800, 0,     0,     0,      0};
  EXPECT_EQ(fixture::ReadFile(out), fixture::WavBytes({8000, 24, 2}, expected));
}

// At another rate the stretch holds exactly before + after frames of the
// destination's rate, whatever the rates' ratio.
TEST_F(ConvertedSource, ResampledStretchHoldsItsFrames) {
  if (!CanResample()) GTEST_SKIP() << "built without libsoxr";
  fixture::TempDir dir;
  fixture::WriteNoise(dir.Path("src.wav"), {44100, 16, 1}, 4410, 3);
  const std::string out = dir.Path("stretch.wav");
  for (const int32_t rate : {48000, 22050, 44101}) {
    SCOPED_TRACE(rate);
    CONVERT_FILE(out.c_str(), dir.Path("src.wav").c_str(), kMono16, kStereo24,
                 {kEncodingInteger, 24, 0}, {44100, rate, 1000, 37, 1000});
    EXPECT_EQ(fixture::ReadFile(out).size(), 44u + 1037u * 6);
  }
}

}  // namespace
