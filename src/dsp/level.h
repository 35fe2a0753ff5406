// Level gain: scales one block of PCM frames in place by a change in dB.
#ifndef SPLYCE_DSP_LEVEL_H
#define SPLYCE_DSP_LEVEL_H

#include <cstdint>

#include "dsp/pcm_codec.h"

// Converts a level change in dB to an amplitude factor, pow(10, level_db / 20),
// in double precision.
double DecibelsToGain(double level_db);

// Scales `frames` frames of `block` by pow(10, level_db / 20). For integer
// samples each product is formed in extended precision on the scale of the
// valid bits and truncated toward zero, and a result beyond full scale is
// clipped to it (NaN gives silence); for float samples the product is formed
// in double precision (and rounded to float for 32-bit samples) and kept
// whatever its size. Formats the level stage cannot scale (see
// IsArithmeticFormat) are left untouched. Always returns 0. When `clipped` is
// given, it grows by the number of results beyond full scale: clipped
// integers, or floats larger than 1 in size.
int32_t NewLevel(uint8_t* block, double level_db, int32_t bytes_per_sample,
                 int32_t channels, int32_t frames, int64_t* clipped = nullptr,
                 const SampleFormat& format = kPcmSamples);

#endif  // SPLYCE_DSP_LEVEL_H
