// Run sequence: command line, destination build, edit loop and splices.
#ifndef SPLYCE_APP_RUN_H
#define SPLYCE_APP_RUN_H

#include <cstdint>

#include "app/edit_table.h"

// Sets every default of the table, the task path to "task.txt" and the clip
// path to "xfade_temp.wav".
void SetDefaults(EditTable& table);

// Creates the destination and writes every edit in write order, with the
// per-edit report and the closing summary; with `drawing`, draws the run
// there once it is built.
void BuildDestination(EditTable& table, const char* drawing = nullptr);

// The whole program: returns the process status (fatal faults exit inside).
int RunSplyce(int argc, char** argv);

#endif  // SPLYCE_APP_RUN_H
