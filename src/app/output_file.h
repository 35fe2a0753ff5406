// Files a run writes besides the destination, when asked: the plan and the
// drawing. Each is written under a name of the run's own beside the file it
// replaces and renamed over it once whole, so that an earlier file stays as
// it was until then; "-" names standard output.
#ifndef SPLYCE_APP_OUTPUT_FILE_H
#define SPLYCE_APP_OUTPUT_FILE_H

#include <cstdio>

#include "app/destination.h"
#include "app/edit_table.h"

// The name standard output is given on the command line.
constexpr char kStandardOutputName[] = "-";

struct OutputFile {
  FILE* file;
  const char* path;                  // as the command line gives it
  char final_path[kFinalPathBytes];  // the file replaced: the path, or where its link points
  char side_path[kBuildPathBytes];   // the file written until it is whole
};

// Sends the report to standard error from now on, keeping standard output
// for a file written to "-".
void MoveReportToStandardError();

// Refuses, before anything is written, an output path that names a file the
// task reads or builds (a source, the destination or the task file itself),
// one that is no regular file, and one whose folder takes no new file.
void CheckOutputPath(const EditTable& table, const char* path, const char* option);

// Opens `path` for writing as `which`, or ends the run with status 2.
void OpenOutputFile(UnfinishedFile which, const char* path, OutputFile* out);

// Writes what was written to the disk and gives it its name, or ends the
// run with status 2, the file it would have replaced as it was.
void FinishOutputFile(UnfinishedFile which, OutputFile* out);

#endif  // SPLYCE_APP_OUTPUT_FILE_H
