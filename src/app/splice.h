// The crossfade splice around an edit, and the life of its work file: the
// clip is mixed from the destination as it stands before the edit's copy,
// then laid over the splice once the copy is made.
#ifndef SPLYCE_APP_SPLICE_H
#define SPLYCE_APP_SPLICE_H

#include <cstdint>

#include "app/conversion.h"
#include "app/edit_table.h"

// The name of the crossfade work file in the working directory.
constexpr char kWorkFileName[] = "xfade_temp.wav";

// Refuses a run whose crossfades would overwrite one of its own files: a
// source or the destination that is the work file.
void CheckWorkFileFree(const EditTable& table);

// Ends the run, with nothing written, when a task with crossfades could not
// make its work file in the working directory; the file it made is kept for
// the first crossfade.
void CheckWorkFileCanBeMade(const EditTable& table);

// The same for a run that only checks: ends it as CheckWorkFileCanBeMade
// would, but makes nothing.
void CheckWorkFileCouldBeMade(const EditTable& table);

// Mixes the clip of entry e from the destination as it stands before the
// copy and from what the entry reads (`source`), counting the mixed samples
// clipped to full scale into `clipped`. On failure the edit goes ahead
// without a crossfade: its type becomes 0.
void PrepareCrossfade(EditTable& table, int32_t e, const EditSource& source, int64_t* clipped);

// Lays the clip of entry e over its splice, straddling the insert frame, and
// no further than the destination's last frame. Returns whether the clip was
// laid: one that would start at frame 0 or before is not.
bool LayCrossfade(const EditTable& table, int32_t e);

// What CROSSFADE will make of entry e's windows, foreseen from the plan
// (kCrossfadeOk, or the window that fails): the destination's must start
// within it, the source's no later than its file's end.
int32_t ForeseeCrossfade(const EditTable& table, int32_t e);

// Reports whether entry e's crossfade will be laid.
bool CrossfadeWillBeLaid(const EditTable& table, int32_t e);

// For a run that only checks: prints and warns what the run would of entry
// e's crossfade, and drops one that the run would not make (its type
// becomes 0).
void CheckCrossfade(EditTable& table, int32_t e);

// Lets go of what the crossfades held open: the clip and the working
// directory.
void CloseClipFiles(const EditTable& table);

#endif  // SPLYCE_APP_SPLICE_H
