#include "dsp/level.h"

#include <cmath>

#include "dsp/pcm_codec.h"

namespace {

// Decibels per decade of amplitude ratio.
constexpr double kDecibelsPerDecade = 20.0;

// Scales one working sample by the gain in extended precision and truncates
// it toward zero on the scale of the output width; no clipping.
int32_t ScaleSample(int32_t x, double gain, int32_t bytes_per_sample) {
  long double y = static_cast<long double>(x) * gain;
  if (bytes_per_sample == kBytes16Bit) y *= kWorkingTo16Bit;
  return TruncateToInt32(y);
}

// Scales `count` samples of one channel in place.
void ScaleChannel(int32_t* samples, int32_t count, double gain, int32_t bytes_per_sample) {
  for (int32_t i = 0; i < count; ++i) {
    samples[i] = ScaleSample(samples[i], gain, bytes_per_sample);
  }
}

// Decodes, scales and re-encodes at most kBlockFrames frames in place.
void ScaleChunk(uint8_t* bytes, double gain, int32_t bytes_per_sample, int32_t channels,
                int32_t count) {
  int32_t left[kBlockFrames];
  int32_t right[kBlockFrames];
  DecodeFrames(bytes, left, right, bytes_per_sample, channels, count);
  ScaleChannel(left, count, gain, bytes_per_sample);
  if (channels == kStereoChannels) ScaleChannel(right, count, gain, bytes_per_sample);
  EncodeFrames(left, right, bytes, bytes_per_sample, channels, count);
}

}  // namespace

// Converts a level change in dB to an amplitude factor, pow(10, level_db / 20),
// in double precision.
double DecibelsToGain(double level_db) { return std::pow(10.0, level_db / kDecibelsPerDecade); }

// Scales a block in place by pow(10, level_db / 20). A block longer than the
// working arrays is taken kBlockFrames frames at a time.
int32_t NewLevel(uint8_t* block, double level_db, int32_t bytes_per_sample,
                 int32_t channels, int32_t frames) {
  if (!IsCodecFormat(bytes_per_sample, channels) || frames <= 0) return 0;
  const double gain = DecibelsToGain(level_db);
  const int64_t frame_bytes = int64_t(bytes_per_sample) * channels;
  for (int64_t done = 0; done < frames; done += kBlockFrames) {
    const int32_t count = int32_t(done + kBlockFrames <= frames ? kBlockFrames : frames - done);
    ScaleChunk(block + done * frame_bytes, gain, bytes_per_sample, channels, count);
  }
  return 0;
}
