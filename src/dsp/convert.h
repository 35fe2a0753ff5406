// Conversion of samples from a source's format to the destination's: the
// sample format first, then the channels. Samples are carried as doubles on
// the destination's scale, which hold every integer sample exactly: an
// integer destination's values are whole numbers on the scale of its bits,
// a float destination's the float values.
#ifndef SPLYCE_DSP_CONVERT_H
#define SPLYCE_DSP_CONVERT_H

#include <cstdint>

#include "dsp/pcm_codec.h"

// One side of a conversion: how its samples are held.
struct StreamFormat {
  int32_t bytes_per_sample;
  SampleFormat samples;
  int32_t channels;
};

// Reports whether `from` can be turned into `to` by the channel rules: the
// same count, one into many, or two into one.
bool ChannelsConvert(int32_t from, int32_t to);

// Converts `frames` frames of `bytes` in format `from` into `out`, frames of
// `to.channels` doubles on the destination's scale. First the sample format:
// an integer into a wider integer is shifted exactly, into a narrower one
// truncated toward zero; an integer into float is x / 2^(bits - 1); a float
// into an integer x * 2^(bits - 1), truncated toward zero and clipped; a
// float into a float keeps its value. Then the channels: one into many puts
// the sample in every channel; two into one is (left + right) / 2, truncated
// toward zero for an integer destination. Returns the samples clipped.
int64_t ConvertFrames(const uint8_t* bytes, const StreamFormat& from, const StreamFormat& to,
                      int32_t frames, double* out);

// Writes `count` doubles on the scale of `to` as its samples into `bytes`:
// integers truncated toward zero and clipped to full scale (for values a
// resampler made), floats rounded to the width. Returns the samples clipped.
int64_t EncodeConverted(const double* values, int64_t count, const StreamFormat& to,
                        uint8_t* bytes);

#endif  // SPLYCE_DSP_CONVERT_H
