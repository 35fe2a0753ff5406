// The plan of a run as data: where each edit lands once the edits after it
// have laid theirs, what it overwrites of the edits before it, which
// crossfades are laid and where the destination stays silent; and the plan
// written as JSON for scripts.
#ifndef SPLYCE_APP_PLAN_H
#define SPLYCE_APP_PLAN_H

#include <cstdint>
#include <cstdio>

#include "app/edit_table.h"

// The schema the JSON plan follows; a change that scripts would notice
// names a new one.
constexpr char kPlanSchema[] = "splyce-plan/1";

// Frames [first, end) of the destination and the entry they belong to (-1:
// none).
struct FrameSpan {
  int64_t first;
  int64_t end;
  int32_t entry;
};

// Each edit lays frames over at most two spans' ends and splits at most one
// span, so the spans and what is overwritten stay within these.
constexpr int32_t kMaxSpans = 2 * kMaxEntries + 1;
constexpr int32_t kMaxOverwrites = 4 * kMaxEntries + 1;

struct PlanLayout {
  // The spans each entry still shows once every edit is laid, in frame order.
  FrameSpan shown[kMaxSpans];
  int32_t shown_count;
  // What the edits overwrite, in write order: the spans of earlier entries
  // (`entry`) that the edit at write position k lays its frames over are
  // overwrites[overwrites_from[k]] up to overwrites[overwrites_from[k + 1]].
  FrameSpan overwrites[kMaxOverwrites];
  int32_t overwrites_from[kMaxEntries + 1];
  // The frames no edit writes, in frame order.
  FrameSpan silence[kMaxSpans];
  int32_t silence_count;
  // Whether each entry's crossfade will be laid, and the frames its clip
  // then covers.
  bool laid[kMaxEntries];
  FrameSpan clip[kMaxEntries];
};

// Returns the length of the UTF-8 sequence that starts at `c`, or 0 where
// none does: paths are bytes, and JSON and SVG text must be UTF-8.
int32_t Utf8Length(const unsigned char* c);

// Works out the layout of a planned table. An edit lands on [insert frame,
// insert frame + the frames it copies); what lies under its crossfade's
// clip before that is mixed, not overwritten.
void LayOutPlan(const EditTable& table, PlanLayout* layout);

// Writes the plan as JSON to `out`. Returns false when the writing failed.
bool WritePlan(const EditTable& table, const PlanLayout& layout, FILE* out);

#endif  // SPLYCE_APP_PLAN_H
