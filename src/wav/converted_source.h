// A stretch of a source converted to the destination's format and rate,
// written as a WAV file of its own, which an edit then reads as it reads a
// source of the destination's format.
#ifndef SPLYCE_WAV_CONVERTED_SOURCE_H
#define SPLYCE_WAV_CONVERTED_SOURCE_H

#include <cstdint>

#include "dsp/convert.h"
#include "wav/wav_file.h"

// What to convert: the frames of the destination's rate from `before`
// frames before the time of source frame `origin` to `after` frames after
// it. Source frames before the source's first or past its last are silence.
struct ConvertedStretch {
  int32_t from_rate;  // Hz
  int32_t to_rate;    // Hz
  int64_t origin;     // a source frame
  int64_t before;     // destination frames
  int64_t after;      // destination frames
};

// Writes the stretch of `source_path` (of format `from`) converted to `to`
// into the file at `path`, emptied first: a header of `header` at the
// destination's rate, then before + after frames. Ends the process on a
// failed read, write or rate conversion. Returns the samples clipped.
int64_t CONVERT_FILE(const char* path, const char* source_path, const StreamFormat& from,
                     const StreamFormat& to, const WaveFormat& header,
                     const ConvertedStretch& stretch);

#endif  // SPLYCE_WAV_CONVERTED_SOURCE_H
