#include "dsp/level.h"

#include <algorithm>
#include <cmath>

#include "dsp/pcm_codec.h"

namespace {

// Decibels per decade of amplitude ratio.
constexpr double kDecibelsPerDecade = 20.0;
// Samples (of all channels, interleaved) levelled in one pass of the fast
// loop; a doubtful result sends only its own chunk down the exact path.
constexpr int32_t kChunkSamples = kBlockFrames;
// Factors (gain times the width's scale) that the fast loop takes: below
// the top one a product of a working sample (at most 2^23 in size) stays
// far inside int32, so no result needs a range check; above the bottom one
// the factor and every nonzero product are normal doubles. Any other gain,
// not-a-number and infinity included, takes the exact path.
constexpr double kMaxSettledFactor = 128.0;
constexpr double kMinSettledFactor = 0x1p-900;
// Size of the largest working sample, -2^23.
constexpr double kLargestWorkingSample = 8388608.0;

// Scales one working sample by the gain in extended precision and truncates
// it toward zero on the scale of the output width, saturating at the int32
// limits; the result is clipped to the width afterwards. This is the rule
// every result must equal.
int32_t ScaleSampleExactly(int32_t x, double gain, int32_t bytes_per_sample) {
  long double y = static_cast<long double>(x) * gain;
  if (bytes_per_sample == kBytes16Bit) y *= kWorkingTo16Bit;
  return TruncateSaturated(y);
}

// Returns the factor of the fast loop, gain times the width's scale. The
// scale is a power of two, so for a factor in the fast loop's range x times
// it rounds to the same double as x times the gain, times the scale.
double SettledFactor(double gain, int32_t bytes_per_sample) {
  return gain * (bytes_per_sample == kBytes16Bit ? kWorkingTo16BitDouble : 1.0);
}

// Reports whether the fast loop takes this factor.
bool IsSettledFactor(double factor) {
  return factor > kMinSettledFactor && factor < kMaxSettledFactor;
}

// Scales `count` working samples of `in` into `out` by the double product
// with `factor` and truncates them; returns nonzero when the extended
// product might truncate otherwise for any of them. A 32-bit sample converts
// exactly, so each product is the exact one rounded once; every product lies
// inside int32 for a factor IsSettledFactor takes. One margin serves every
// sample: that of the largest product a working sample can give. A result
// that truncates to 0 either way stays settled, as silence must.
SPLYCE_SAMPLE_LOOP
int32_t ScaleSettled(const int32_t* in, int32_t* out, int32_t count, double factor) {
  const double margin = kLargestWorkingSample * factor * kSettledTolerance;
  int32_t doubtful = 0;
  for (int32_t i = 0; i < count; ++i) {
    const double p = static_cast<double>(in[i]) * factor;
    const int32_t low = static_cast<int32_t>(p - margin);
    const int32_t high = static_cast<int32_t>(p + margin);
    doubtful |= int32_t(low != high);
    out[i] = low;
  }
  return doubtful;
}

// Scales `count` working samples of `in` into `out` by the extended product.
void ScaleExactly(const int32_t* in, int32_t* out, int32_t count, double gain,
                  int32_t bytes_per_sample) {
  for (int32_t i = 0; i < count; ++i) out[i] = ScaleSampleExactly(in[i], gain, bytes_per_sample);
}

// Levels `count` interleaved samples of `bytes` in place: decoded into one
// array, scaled into another by the double product where that settles every
// result of the chunk (else by the extended one throughout), clipped to full
// scale and encoded. Adds the results beyond full scale to `clipped` when it
// is given. Interleaved samples decode and encode as one mono sequence.
void LevelChunk(uint8_t* bytes, int32_t count, double gain, int32_t bytes_per_sample,
                int64_t* clipped) {
  int32_t samples[kChunkSamples];
  int32_t levelled[kChunkSamples];
  DecodeFrames(bytes, samples, nullptr, bytes_per_sample, kMonoChannels, count);
  const double factor = SettledFactor(gain, bytes_per_sample);
  if (!IsSettledFactor(factor) || ScaleSettled(samples, levelled, count, factor) != 0) {
    ScaleExactly(samples, levelled, count, gain, bytes_per_sample);
  }
  const int64_t beyond = ClipToFullScale(levelled, count, bytes_per_sample);
  if (clipped != nullptr) *clipped += beyond;
  EncodeFrames(levelled, nullptr, bytes, bytes_per_sample, kMonoChannels, count);
}

// Levels `count` integer samples of `bytes` that the 16/24-bit paths do not
// take (32-bit, or valid bits short of the container) in extended precision
// on the scale of their valid bits; counts those clipped into `clipped`.
void LevelWideIntegers(uint8_t* bytes, int64_t count, double gain, int32_t bytes_per_sample,
                       int32_t valid_bits, int64_t* clipped) {
  int64_t beyond_count = 0;
  for (int64_t i = 0; i < count; ++i) {
    uint8_t* p = bytes + i * bytes_per_sample;
    const long double y = static_cast<long double>(GetValidSample(p, bytes_per_sample, valid_bits)) * gain;
    bool beyond = false;
    PutValidSample(ClipToValidBits(y, valid_bits, &beyond), p, bytes_per_sample, valid_bits);
    beyond_count += beyond;
  }
  if (clipped != nullptr) *clipped += beyond_count;
}

// Levels `count` float samples of `bytes` in double precision, rounded to
// float for 4-byte samples; counts those larger than 1 in size, which float
// keeps, into `beyond`.
void LevelFloats(uint8_t* bytes, int64_t count, double gain, int32_t bytes_per_sample,
                 int64_t* beyond) {
  int64_t beyond_count = 0;
  for (int64_t i = 0; i < count; ++i) {
    uint8_t* p = bytes + i * bytes_per_sample;
    PutFloatSample(GetFloatSample(p, bytes_per_sample) * gain, p, bytes_per_sample);
    beyond_count += std::fabs(GetFloatSample(p, bytes_per_sample)) > 1.0;
  }
  if (beyond != nullptr) *beyond += beyond_count;
}

}  // namespace

// Converts a level change in dB to an amplitude factor, pow(10, level_db / 20),
// in double precision. A copy levels block after block at one level, so the
// last conversion is kept; 0 dB is a gain of exactly 1.
double DecibelsToGain(double level_db) {
  static double last_db = 0.0;
  static double last_gain = 1.0;
  if (level_db != last_db) {
    last_gain = std::pow(10.0, level_db / kDecibelsPerDecade);
    last_db = level_db;
  }
  return last_gain;
}

// Scales a block in place by pow(10, level_db / 20); 16- and 24-bit samples
// kChunkSamples at a time whatever the channel count.
int32_t NewLevel(uint8_t* block, double level_db, int32_t bytes_per_sample,
                 int32_t channels, int32_t frames, int64_t* clipped, const SampleFormat& format) {
  if (frames <= 0 || !IsArithmeticFormat(format, bytes_per_sample, channels)) return 0;
  const double gain = DecibelsToGain(level_db);
  const int64_t samples = int64_t(frames) * channels;
  if (format.encoding == kEncodingFloat) {
    LevelFloats(block, samples, gain, bytes_per_sample, clipped);
    return 0;
  }
  if (!IsPlainInteger(format, bytes_per_sample)) {
    LevelWideIntegers(block, samples, gain, bytes_per_sample, ValidBits(format, bytes_per_sample),
                      clipped);
    return 0;
  }
  for (int64_t done = 0; done < samples; done += kChunkSamples) {
    const int32_t count = int32_t(std::min<int64_t>(kChunkSamples, samples - done));
    LevelChunk(block + done * bytes_per_sample, count, gain, bytes_per_sample, clipped);
  }
  return 0;
}
