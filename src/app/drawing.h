// A timeline picture of a run as SVG: a ruler in the task's unit, one lane
// per source file with a bar for every edit, crossfades as wedges across
// their splices, what later edits overwrite hatched, silence shaded, and,
// after a build, the destination's waveform envelope under the lanes.
#ifndef SPLYCE_APP_DRAWING_H
#define SPLYCE_APP_DRAWING_H

#include <cstdio>

#include "app/edit_table.h"
#include "app/plan.h"

// Draws the planned table and its layout into `out`; with `built` (the
// path of the built destination, or null for a plan alone) the envelope
// is read from it. Ends the run when the built file cannot be read.
// Returns false when the writing failed.
bool DrawTimeline(const EditTable& table, const PlanLayout& layout, const char* built, FILE* out);

#endif  // SPLYCE_APP_DRAWING_H
