// Task-file language: tokens split by tab and line feed, nine keywords.
#ifndef SPLYCE_APP_TASK_FILE_H
#define SPLYCE_APP_TASK_FILE_H

#include <cstdint>

#include "app/edit_table.h"

// The whole task text is read into one buffer of this size (bytes).
constexpr int32_t kTaskBufferBytes = 65536;
// Levels at or above this are ignored (dB).
constexpr float kLevelCeilingDb = 24.0f;
// Paths shorter than this are refused as missing (characters).
constexpr int32_t kMinPathChars = 4;

// Parses the task file at `task_path` into the tables. Every slot must hold
// its defaults. Ends the process with status 1 on a fatal fault.
void ReadTaskFile(int32_t& entry_count, char (*source_paths)[kPathBytes],
                  char* destination_path, double* xin, double* xout, double* ins,
                  double* trim, int32_t* append, const char* task_path,
                  int32_t& time_unit, int32_t* xf_types, float* widths_ms,
                  double* levels_db);

// Copies the last format line the last ReadTaskFile accepted into `format`
// (given false when it had none).
void ReadTaskFormat(FormatLine* format);

// Copies into `source_lines` the task-file line of each src that the last
// ReadTaskFile accepted, entry by entry, and into `destination_line` that of
// the dest it kept (0 without one): what diagnostics name.
void ReadTaskLines(int32_t* source_lines, int32_t* destination_line);

#endif  // SPLYCE_APP_TASK_FILE_H
