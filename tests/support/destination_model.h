// An independent model of a built destination, for byte-for-byte comparisons.
#ifndef SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H
#define SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H

#include <cstdint>
#include <vector>

#include "support/wav_fixture.h"

namespace fixture {

struct Format {
  int32_t rate;
  int32_t bits;
  int32_t channels;
  int32_t BlockAlign() const { return bits / 8 * channels; }
};

// A destination as it must be after a run: the 44-byte header declaring
// `total` frames, then 2 x total frames, silent until edits are laid.
Bytes EmptyDestination(const Format& f, int32_t total);

// Scales interleaved samples by `level_db` the way the level stage must:
// extended-precision product, truncated toward zero, wrapped to the width.
std::vector<int32_t> Levelled(const std::vector<int32_t>& samples, double level_db, int32_t bits);

// Lays `frames` frames of `samples` from frame `read_start` at frame `insert`.
void LayEdit(Bytes& destination, const Format& f, const std::vector<int32_t>& samples,
             int32_t read_start, int32_t frames, int32_t insert, double level_db);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_DESTINATION_MODEL_H
