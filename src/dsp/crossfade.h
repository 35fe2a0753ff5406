// Crossfade generator: mixes the clip laid over a splice.
#ifndef SPLYCE_DSP_CROSSFADE_H
#define SPLYCE_DSP_CROSSFADE_H

#include <cstdint>

#include "dsp/pcm_codec.h"

// Status codes of CROSSFADE: which file stopped the clip.
constexpr int32_t kCrossfadeOk = 0;
constexpr int32_t kCrossfadeDestinationFailed = 1;
constexpr int32_t kCrossfadeSourceFailed = 2;
constexpr int32_t kCrossfadeClipFailed = 3;

// Fade-out (destination) and fade-in (source) gains of clip frame k of W.
// `level_factor` scales the fade-in side only and is skipped when
// `has_level` is false.
void CrossfadeGains(int32_t type, int32_t k, int32_t width, double level_factor,
                    bool has_level, double* gain_out, double* gain_in);

// Mixes one destination sample d and one source sample s (working samples)
// into a value on the scale of the output width, truncated toward zero and
// saturated at the int32 limits; not yet clipped to the width.
int32_t MixSample(int32_t d, int32_t s, double gain_out, double gain_in,
                  int32_t bytes_per_sample);

// Appends W mixed frames to the clip file: destination frames insert - W/2 on
// and source frames read_start - W/2 on, faded with curve `type` (1 to 4).
// Source frames before the source's first one are silence. Mixed integer
// values beyond full scale are clipped to it; floats are kept. Every channel
// of a frame mixes with the same gains. Returns one of the status codes
// above. When `clipped` is given, it grows by the number of values beyond
// full scale.
int32_t CROSSFADE(int32_t insert_frame, int32_t read_start, int32_t width,
                  int32_t type, const char* destination_path,
                  const char* source_path, const char* clip_path,
                  int32_t channels, int32_t bytes_per_sample, double level_db,
                  int64_t* clipped = nullptr, const SampleFormat& format = kPcmSamples);

#endif  // SPLYCE_DSP_CROSSFADE_H
