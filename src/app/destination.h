// The destination file's life: refused early when the run may not replace
// it, built in a file of its own (unnamed where the file system allows), and
// moved over the destination, durably, only once the whole run has
// succeeded, with the destination's owner, mode, ACL and extended
// attributes. A run that ends before that leaves no trace.
#ifndef SPLYCE_APP_DESTINATION_H
#define SPLYCE_APP_DESTINATION_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "app/edit_table.h"

// Files removed if the process ends before they are finished.
enum UnfinishedFile : int32_t {
  kUnfinishedBuild,
  kUnfinishedClip,
  kUnfinishedScratch,
  kUnfinishedPlan,
  kUnfinishedDrawing,
  kUnfinishedFiles
};

// Has `path` removed if the process ends from now on (a null path: no
// longer). The path must stay valid while it is marked.
void MarkUnfinished(UnfinishedFile which, const char* path);

// Makes a file and marks it unfinished (`make` returns its descriptor, or -1
// with errno set), with the signals that end a run from outside held back in
// between, so that the run never ends with the file made but not marked.
// Returns the descriptor; the file is marked only when it was made.
int MakeUnfinished(UnfinishedFile which, const char* path, int (*make)(const char* path));

// Makes a file under a name of the run's own, as MakeUnfinished does: `base`,
// a dot, the process id, a dash and the first attempt whose name is free,
// written into `path` (of `size` bytes), which must stay valid while it is
// marked. Returns the descriptor, or -1 (errno set) when none can be made.
int MakeOwnNamedFile(UnfinishedFile which, const char* base, char* path, size_t size,
                     int (*make)(const char* path));

// Has every ending of the process remove the unfinished files: a normal
// exit, and every signal whose default action ends it. A file-size limit
// no longer ends it: the write that passes it fails instead.
void InstallCleanup();

// Writes to `folder` the folder part of `path`: "." for a bare name.
void FolderOf(const char* path, char* folder, size_t size);

// Opens an unnamed file in `folder` and writes to `named` the /proc path that
// opens it again, which is how it is later given a name. Returns its
// descriptor, or -1 (errno set) where the file system or the system offers
// no such file or refuses it.
int OpenUnnamedFile(const char* folder, mode_t mode, char* named, size_t size);

// Reports whether an error making a new file means the file system offers
// no unnamed files (rather than refusing this one).
bool LacksUnnamedFiles(int error);

// Ends the run when the report has not all reached standard output: a run
// whose report is lost has not done what it says.
void FlushReportOrDie();

// Writes the folder of `path` to the disk, so that a crash finds the file
// under the name it was last given; false when it cannot.
bool SyncFolderOf(const char* path);

// Reports whether a new file could be made in `folder` now, making none that
// outlasts the call: an unnamed file is made and let go, or, where the file
// system has none, the folder's permissions are asked. False with errno set.
bool CanMakeFileIn(const char* folder);

// Makes the checks CreateBuildFile makes, and refuses as it would, but
// creates nothing: for a run that only checks.
void CheckBuildFile(EditTable& table, void (*in_place_check)(const EditTable&));

// Refuses, before anything is created, a destination the run may not
// replace; then sets up the file to build into, and reserves its blocks.
// Builds in place only where the destination's folder refuses new files
// for permission or a read-only file system and the destination itself may
// be written; `in_place_check` then runs first, so that whatever else can
// stop the run is known before the destination is touched.
void CreateBuildFile(EditTable& table, void (*in_place_check)(const EditTable&));

// Reserves the build file's blocks for its header and for the frames that
// each edit writes.
void ReserveBuildBlocks(const EditTable& table);

// Gives the built file the replaced destination's owner and group (or the
// group alone), mode, ACL and extended attributes, or the mode the umask
// allows a new file. Ends the process with status 2 when the mode or the ACL
// cannot be kept; warns of the rest.
void KeepDestinationAttributes(const EditTable& table);

// Flushes the report and checks it reached standard output, then makes the
// built file the destination: flushed to disk, renamed over it, and the
// folder synced. Ends the process with status 2 when any step fails, the
// destination as it was unless the rename itself succeeded.
void ReplaceDestination(const EditTable& table);

#endif  // SPLYCE_APP_DESTINATION_H
