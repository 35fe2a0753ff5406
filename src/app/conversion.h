// Sources a format line converts: each edit's stretch is converted to the
// destination's format and rate into a scratch file of the run's own, which
// the edit then reads as a source that has the destination's format.
#ifndef SPLYCE_APP_CONVERSION_H
#define SPLYCE_APP_CONVERSION_H

#include <cstdint>

#include "app/edit_table.h"

// What an edit reads: a file and the frame of it where its read starts.
struct EditSource {
  const char* path;
  int32_t read_start;
};

// Makes the scratch file sources are converted in, when the task converts
// any, so that a run that cannot make it ends before anything is written.
void PrepareConversions(const EditTable& table);

// The same for a run that only checks: ends it as PrepareConversions would,
// but makes nothing.
void CheckConversionsCanBeMade(const EditTable& table);

// Returns what entry e reads: its source as it is, or, where the source is
// converted, the scratch file holding its stretch converted, with the
// pre-roll its crossfade needs before the read start and the frames its
// run-on and its crossfade's window need after it. Adds the samples the
// conversion clipped to `clipped`. Ends the run when the scratch file
// cannot be made or written.
EditSource SourceOfEdit(const EditTable& table, int32_t e, int64_t* clipped);

// Lets the scratch file go.
void CloseConversions();

#endif  // SPLYCE_APP_CONVERSION_H
