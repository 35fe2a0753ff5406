// Level gain: scales one block of PCM frames in place by a change in dB.
#ifndef SPLYCE_DSP_LEVEL_H
#define SPLYCE_DSP_LEVEL_H

#include <cstdint>

// Converts a level change in dB to an amplitude factor, pow(10, level_db / 20),
// in double precision.
double DecibelsToGain(double level_db);

// Scales `frames` frames of `block` by pow(10, level_db / 20). Each product is
// formed in extended precision and truncated toward zero; a result beyond
// full scale of the output width is clipped to it (NaN gives silence).
// Formats other than 16/24-bit mono/stereo are left untouched. Always returns
// 0. When `clipped` is given, it grows by the number of results clipped.
int32_t NewLevel(uint8_t* block, double level_db, int32_t bytes_per_sample,
                 int32_t channels, int32_t frames, int64_t* clipped = nullptr);

#endif  // SPLYCE_DSP_LEVEL_H
