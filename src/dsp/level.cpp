#include "dsp/level.h"

#include <cfloat>
#include <cmath>

#include "dsp/pcm_codec.h"

namespace {

// Decibels per decade of amplitude ratio.
constexpr double kDecibelsPerDecade = 20.0;
// The fast path relies on double arithmetic being rounded to double, as it is
// with SSE2; x87 evaluation in extended precision would break its error bound.
static_assert(FLT_EVAL_METHOD == 0, "the level fast path needs double-rounded arithmetic");
// kWorkingTo16Bit as a double: a power of two, so scaling by it is exact.
constexpr double kWorkingTo16BitDouble = 0.00390625;
// Relative bound on the distance between the double and the extended product
// of one sample and gain: each is the exact product rounded once, by at most
// 2^-53 and 2^-64 of it, so they lie within 2^-52 of each other; 2^-50 leaves
// room to spare.
constexpr double kProductTolerance = 0x1p-50;
// Double products in the open interval (-2^31, 2^31) are truncated in double
// precision; every other one, and not-a-number, goes the extended way.
constexpr double kFastLimit = 2147483648.0;
// 1.5 x 2^52: a double of magnitude below 2^51 plus this has no fraction bits
// left, so adding it and taking it off again rounds to the nearest integer.
constexpr double kRoundingShift = 6755399441055744.0;

// Scales one working sample by the gain in extended precision and truncates
// it toward zero on the scale of the output width; no clipping. This is the
// rule every result must equal.
int32_t ScaleSampleExactly(int32_t x, double gain, int32_t bytes_per_sample) {
  long double y = static_cast<long double>(x) * gain;
  if (bytes_per_sample == kBytes16Bit) y *= kWorkingTo16Bit;
  return TruncateToInt32(y);
}

// Truncates the double product p of a sample and the gain (on the scale of the
// output width) when that settles the exact result: when no integer but 0
// lies within the tolerance of p, the extended product lies strictly between
// the same two integers as p and truncates alike. At p = 0 both truncate to 0.
// Returns false when p is too near an integer, out of range or not a number.
bool TruncateDoubleProduct(double p, int32_t* out) {
  const double size = std::fabs(p);
  if (!(size < kFastLimit)) return false;
  // Rounds to nearest, the mode the program always runs in.
  const double nearest = (p + kRoundingShift) - kRoundingShift;
  if (!(std::fabs(p - nearest) > size * kProductTolerance) && p != 0.0) return false;
  *out = static_cast<int32_t>(p);  // |p| < 2^31, checked above
  return true;
}

// Scales `count` samples of one channel in place: by the double product where
// it settles the result, else by the extended one.
void ScaleChannel(int32_t* samples, int32_t count, double gain, int32_t bytes_per_sample) {
  const double scale = bytes_per_sample == kBytes16Bit ? kWorkingTo16BitDouble : 1.0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t x = samples[i];
    // A 32-bit x converts exactly, and scaling by a power of two is exact.
    if (!TruncateDoubleProduct(static_cast<double>(x) * gain * scale, &samples[i])) {
      samples[i] = ScaleSampleExactly(x, gain, bytes_per_sample);
    }
  }
}

// Decodes, scales and re-encodes at most kBlockFrames frames in place.
// Adds the results beyond full scale to `wrapped` when it is given.
void ScaleChunk(uint8_t* bytes, double gain, int32_t bytes_per_sample, int32_t channels,
                int32_t count, int64_t* wrapped) {
  int32_t left[kBlockFrames];
  int32_t right[kBlockFrames];
  DecodeFrames(bytes, left, right, bytes_per_sample, channels, count);
  ScaleChannel(left, count, gain, bytes_per_sample);
  if (channels == kStereoChannels) ScaleChannel(right, count, gain, bytes_per_sample);
  if (wrapped != nullptr) {
    *wrapped += CountBeyondFullScale(left, count, bytes_per_sample);
    if (channels == kStereoChannels) *wrapped += CountBeyondFullScale(right, count, bytes_per_sample);
  }
  EncodeFrames(left, right, bytes, bytes_per_sample, channels, count);
}

}  // namespace

// Converts a level change in dB to an amplitude factor, pow(10, level_db / 20),
// in double precision.
double DecibelsToGain(double level_db) { return std::pow(10.0, level_db / kDecibelsPerDecade); }

// Scales a block in place by pow(10, level_db / 20). A block longer than the
// working arrays is taken kBlockFrames frames at a time.
int32_t NewLevel(uint8_t* block, double level_db, int32_t bytes_per_sample,
                 int32_t channels, int32_t frames, int64_t* wrapped) {
  if (!IsCodecFormat(bytes_per_sample, channels) || frames <= 0) return 0;
  const double gain = DecibelsToGain(level_db);
  const int64_t frame_bytes = int64_t(bytes_per_sample) * channels;
  for (int64_t done = 0; done < frames; done += kBlockFrames) {
    const int32_t count = int32_t(done + kBlockFrames <= frames ? kBlockFrames : frames - done);
    ScaleChunk(block + done * frame_bytes, gain, bytes_per_sample, channels, count, wrapped);
  }
  return 0;
}
