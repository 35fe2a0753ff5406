// An independent model of a built destination, for byte-for-byte comparisons.
#ifndef SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H
#define SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/wav_fixture.h"

namespace fixture {

// Truncated `value` limited to the range of `bits`-bit samples; NaN gives 0.
int32_t Clipped(long double value, int32_t bits);

// A destination as it must be after a run: the 44-byte header declaring
// `total` frames, then those frames, silent until edits are laid.
Bytes EmptyDestination(const Format& f, int32_t total);

// Scales interleaved samples by `level_db` the way the level stage must:
// extended-precision product, truncated toward zero, clipped to the width.
std::vector<int32_t> Levelled(const std::vector<int32_t>& samples, double level_db, int32_t bits);

// Lays `frames` frames of `samples` from frame `read_start` at frame `insert`.
void LayEdit(Bytes& destination, const Format& f, const std::vector<int32_t>& samples,
             int32_t read_start, int32_t frames, int32_t insert, double level_db);

struct Fade {
  int32_t width;  // frames
  int32_t type;   // gain curve, 1 to 4
  double level_db;
};

// The crossfade clip written out directly from its definition: frame k mixes
// destination frame insert - W/2 + k with source frame read_start - W/2 + k
// (samples interleaved, on their own width's scale; frames outside a file
// are silent), clipped to the width.
std::vector<int32_t> ReferenceClip(const Format& f, const Fade& fade, int32_t insert,
                                   int32_t read_start, const std::vector<int32_t>& dest,
                                   const std::vector<int32_t>& src);

// A format beyond 16- and 24-bit integers: the container's bits, the bits
// that carry an integer sample (the container's, or fewer), float or not,
// the channels and their speaker mask (0: none given).
struct WideFormat {
  int32_t bits;
  int32_t valid_bits;
  bool is_float;
  int32_t channels;
  uint32_t mask;
};

// Interleaved noise of `frames` frames: integers on the valid bits' scale
// over their whole range; floats of up to 1.25 in size.
std::vector<double> WideNoise(const WideFormat& f, int32_t frames, uint32_t seed);
// The audio bytes of `values` in format `f`, and back.
Bytes EncodeWide(const WideFormat& f, const std::vector<double>& values);
std::vector<double> DecodeWide(const WideFormat& f, const Bytes& audio);
// A WAV file at `rate` of the audio in `f`, extensible where a file of that
// format must be.
Bytes MakeWideWav(const WideFormat& f, int32_t rate, const Bytes& audio);

// One sample levelled by `level_db`, and one destination sample d and source
// sample s mixed with gains `out` and `in`, as the rules for the format
// have them: integers in extended precision, truncated and clipped to the
// valid bits; 32-bit floats as doubles rounded to float at the end; 64-bit
// floats in double.
double LevelledWide(const WideFormat& f, double v, double level_db);
double MixedWide(const WideFormat& f, double d, double s, double out, double in);

// The fade-out and fade-in gains of clip frame k, the level on the fade-in
// side.
void ReferenceGains(const Fade& fade, int32_t k, double* out, double* in);

// Returns the audio of a WAV file: the payload of its first data chunk,
// found by walking its chunks; empty when there is none.
Bytes AudioOf(const Bytes& wav);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H
