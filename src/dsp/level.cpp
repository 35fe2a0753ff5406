#include "dsp/level.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/pcm_codec.h"

namespace {

// Decibels per decade of amplitude ratio.
constexpr double kDecibelsPerDecade = 20.0;
// Samples (of all channels, interleaved) levelled in one pass of the fast
// loop; a doubtful result sends only its own chunk down the exact path.
constexpr int32_t kChunkSamples = kBlockFrames;
// Bytes of the widest chunk.
constexpr int32_t kChunkBytes = kChunkSamples * kBytes24Bit;

// Scales one working sample by the gain in extended precision and truncates
// it toward zero on the scale of the output width; no clipping. This is the
// rule every result must equal.
int32_t ScaleSampleExactly(int32_t x, double gain, int32_t bytes_per_sample) {
  long double y = static_cast<long double>(x) * gain;
  if (bytes_per_sample == kBytes16Bit) y *= kWorkingTo16Bit;
  return TruncateToInt32(y);
}

// Scales one working sample by the double product (times `scale`, the 16-bit
// factor or 1) and returns its truncation; flags it in *doubtful when the
// extended product might truncate otherwise, and counts it in *wraps when it
// lies beyond full scale. A 32-bit sample converts exactly and scaling by a
// power of two is exact, so the product is the exact one rounded once.
inline int32_t ScaleSampleSettled(int32_t x, double gain, double scale, int32_t top,
                                  int32_t* doubtful, int32_t* wraps) {
  const double p = static_cast<double>(x) * gain * scale;
  int32_t y = 0;
  *doubtful |= TruncateSettled(p, std::fabs(p), &y);
  *wraps += BeyondRange(y, -top - 1, top);
  return y;
}

// Levels `count` samples of width `bytes_per_sample` in place by the double
// product, decoding, scaling and encoding in one pass; sets *beyond to the
// results beyond full scale. Returns nonzero when any result is in doubt.
// Called with a constant width, so that each copy the compiler makes of it
// moves samples of a width it knows and vectorises.
inline int32_t LevelSettled(uint8_t* bytes, int32_t count, double gain, int32_t bytes_per_sample,
                            int32_t* beyond) {
  const double scale = bytes_per_sample == kBytes16Bit ? kWorkingTo16BitDouble : 1.0;
  int32_t doubtful = 0;
  int32_t wraps = 0;
  for (int32_t i = 0; i < count; ++i) {
    uint8_t* at = bytes + i * bytes_per_sample;
    PutSample(ScaleSampleSettled(GetSample(at, bytes_per_sample), gain, scale,
                                 FullScaleTop(bytes_per_sample), &doubtful, &wraps),
              at, bytes_per_sample);
  }
  *beyond = wraps;
  return doubtful;
}

// LevelSettled for 16-bit and for 24-bit samples.
SPLYCE_SAMPLE_LOOP
int32_t LevelSettled16(uint8_t* bytes, int32_t count, double gain, int32_t* beyond) {
  return LevelSettled(bytes, count, gain, kBytes16Bit, beyond);
}
SPLYCE_SAMPLE_LOOP
int32_t LevelSettled24(uint8_t* bytes, int32_t count, double gain, int32_t* beyond) {
  return LevelSettled(bytes, count, gain, kBytes24Bit, beyond);
}

// Levels `count` samples from `original` into `bytes` by the extended
// product; returns the results beyond full scale.
int32_t LevelExactly(const uint8_t* original, uint8_t* bytes, int32_t count, double gain,
                     int32_t bytes_per_sample) {
  int32_t samples[kChunkSamples];
  DecodeFrames(original, samples, nullptr, bytes_per_sample, kMonoChannels, count);
  for (int32_t i = 0; i < count; ++i) {
    samples[i] = ScaleSampleExactly(samples[i], gain, bytes_per_sample);
  }
  EncodeFrames(samples, nullptr, bytes, bytes_per_sample, kMonoChannels, count);
  return int32_t(CountBeyondFullScale(samples, count, bytes_per_sample));
}

// Levels `count` interleaved samples of `bytes` in place: by the double
// product where it settles every result of the chunk, else, from a copy of
// the chunk kept for that, by the extended one throughout. Adds the results
// beyond full scale to `wrapped` when it is given. Interleaved samples decode
// and encode as one mono sequence.
void LevelChunk(uint8_t* bytes, int32_t count, double gain, int32_t bytes_per_sample,
                int64_t* wrapped) {
  uint8_t original[kChunkBytes];
  std::memcpy(original, bytes, size_t(count) * size_t(bytes_per_sample));
  int32_t beyond = 0;
  const int32_t doubtful = bytes_per_sample == kBytes16Bit
                               ? LevelSettled16(bytes, count, gain, &beyond)
                               : LevelSettled24(bytes, count, gain, &beyond);
  if (doubtful != 0) beyond = LevelExactly(original, bytes, count, gain, bytes_per_sample);
  if (wrapped != nullptr) *wrapped += beyond;
}

}  // namespace

// Converts a level change in dB to an amplitude factor, pow(10, level_db / 20),
// in double precision.
double DecibelsToGain(double level_db) { return std::pow(10.0, level_db / kDecibelsPerDecade); }

// Scales a block in place by pow(10, level_db / 20), kChunkSamples samples at
// a time whatever the channel count.
int32_t NewLevel(uint8_t* block, double level_db, int32_t bytes_per_sample,
                 int32_t channels, int32_t frames, int64_t* wrapped) {
  if (!IsCodecFormat(bytes_per_sample, channels) || frames <= 0) return 0;
  const double gain = DecibelsToGain(level_db);
  const int64_t samples = int64_t(frames) * channels;
  for (int64_t done = 0; done < samples; done += kChunkSamples) {
    const int32_t count = int32_t(std::min<int64_t>(kChunkSamples, samples - done));
    LevelChunk(block + done * bytes_per_sample, count, gain, bytes_per_sample, wrapped);
  }
  return 0;
}
