// Edit planning: formats, frame ranges, write order and total length.
#ifndef SPLYCE_APP_PLANNING_H
#define SPLYCE_APP_PLANNING_H

#include <cstdint>

#include "app/edit_table.h"

// Fills positions 0 to n - 1 of `order`: the leading chain of appended
// entries, then each chain in order of its head's insert point, ties by index.
void FindOrder(int32_t n, const double* ins, int32_t* order, const int32_t* append);

// A frame count as the task's own unit gives it, for diagnostics: "1.500 s
// (66150 frames)" in seconds, "66150 frames" in frames.
struct TimeText {
  char text[96];
};
// Times are told at `rate`, the destination's when it is 0.
TimeText InTaskUnit(const EditTable& table, long double frames, int32_t rate = 0);
// The same without the frames in brackets: "1.500 s" in seconds.
TimeText PlainTime(const EditTable& table, long double frames, int32_t rate = 0);

// The samples and the header the destination takes: those of entry 0.
SampleFormat DestinationSamples(const EditTable& table);
WaveFormat DestinationWave(const EditTable& table);

// Reads every source's format, refuses mixed or unsupported formats and bad
// ranges, and fills the planned frames, write order and total length.
// Ends the process on the first fault; writes no file.
void PlanEdits(EditTable& table);

#endif  // SPLYCE_APP_PLANNING_H
