// Opening files: without waiting on a FIFO, through the descriptors the run
// holds for paths it registered, and only as the file planning read; and
// the names that messages give files. Shared by every stage of the run.
#ifndef SPLYCE_BASE_FILES_H
#define SPLYCE_BASE_FILES_H

#include <sys/stat.h>

#include <cstdio>

// Opens `path` as fopen does in mode "rb" or "rb+", except that a FIFO
// without a writer does not make it wait: the file is opened non-blocking and
// then set back to blocking. Returns null when the file cannot be opened.
FILE* OpenWithoutWaiting(const char* path, const char* mode);

// Opens `path` for writing as fopen does in mode "wb" (emptied first) or "ab"
// (written from its end), or returns null.
FILE* OpenForWriting(const char* path, const char* mode);

// Registers `fd`, a descriptor the run holds open, for `path`, and opens
// nothing: every later OpenWithoutWaiting and OpenForWriting of `path`
// duplicates `fd` instead of opening the path. The build file's path goes
// through /proc, which costs twice an ordinary open, and the crossfade clip
// and a converted stretch may have no name at all. The duplicates share the
// file position, which every reader and writer sets first. Three paths can
// be registered at once. A descriptor of -1 ends it for that path; a null
// path ends it for every path.
void UseDescriptorForPath(const char* path, int fd);

// Has every message about the file at `path` name it `shown` instead (a null
// `shown` ends it; a null path ends it for every path): the destination is
// built under a name the user never wrote, and a source converted is read
// from a file of its own. Two paths can be renamed at once.
void ShowPathAs(const char* path, const char* shown);

// Returns the name that messages give the file at `path`.
const char* ShownPath(const char* path);

// Remembers which file `path` names now, by the open descriptor `fd`: every
// later OpenWithoutWaiting of `path` ends the run with "Cannot read file"
// unless it opens that same file, unchanged (device, inode, size and time
// of last change), so that a source replaced or changed after planning is
// never read with the planned format.
void RememberFile(const char* path, int fd);
// Forgets every remembered file, before the next run.
void ForgetFiles();


// Reports whether two stats are of one file.
bool SameFile(const struct stat& a, const struct stat& b);
// True when `path` names the existing file `known`, found with stat; a path
// is looked up only when there is such a file.
bool IsKnownFile(const char* path, bool known_exists, const struct stat& known);
// True when both paths name one existing file, through any path or link.
bool SameExistingFile(const char* a, const char* b);

#endif  // SPLYCE_BASE_FILES_H
