// An independent model of a built destination, for byte-for-byte comparisons.
#ifndef SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H
#define SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/wav_fixture.h"

namespace fixture {

struct Format {
  int32_t rate;
  int32_t bits;
  int32_t channels;
  int32_t BlockAlign() const { return bits / 8 * channels; }
};

// Writes a WAV file of interleaved `samples` in format `f`, with an extra
// chunk of `extra_chunk_bytes` before the data (0: a 44-byte header).
void WriteWav(const std::string& path, const Format& f, const std::vector<int32_t>& samples,
              int32_t extra_chunk_bytes = 0);

// Writes `frames` frames of noise in format `f`; returns the samples.
std::vector<int32_t> WriteNoise(const std::string& path, const Format& f, int32_t frames,
                                uint32_t seed, int32_t extra_chunk_bytes = 0);

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

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H
