#include "app/splice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/destination.h"
#include "app/planning.h"
#include "base/diagnostics.h"
#include "base/fatal.h"
#include "base/files.h"
#include "dsp/crossfade.h"
#include "wav/wav_file.h"

namespace {

// Status of a refused plan, and of a work file that cannot be made.
constexpr int kPlanFault = 1;
constexpr int kFileStatus = 2;
// Permission bits of a new file before the umask.
constexpr mode_t kNewFileMode = 0666;
// Names of the run's own for a clip, where the work file's name is taken or
// cannot be guarded by a lock: the work file's name, a dot, the process id,
// a dash and the attempt.
constexpr int32_t kClipNameBytes = kClipPathBytes + 32;
// Room for the /proc path of an unnamed clip (bytes).
constexpr int32_t kProcPathBytes = 32;

// The working directory, open from the first crossfade to the end of the
// run (-1 before), whether a crossfade holds it locked, and whether it has
// been found to take no lock (which is said once).
int g_clip_folder = -1;
bool g_clip_locked = false;
bool g_lock_missing = false;
// The clip, held open from its making: an unnamed file held for the rest of
// the run, each clip's header emptying it of the one before (making and
// deleting a file for every crossfade costs more than the rest of a short
// one, most where the file system passes over every recently freed inode
// when it allocates one, as ext4 without a journal does); or, where the file
// system has no unnamed files, a file with a name, made and removed for each
// crossfade. -1 while there is none. Every operation reaches it through the
// descriptor, never by its name, so nothing can swap the file under the run.
int g_clip_fd = -1;
bool g_clip_unnamed = false;
// The path operations are given for the clip: the work file's name for an
// unnamed clip, else its own name; and the /proc path of an unnamed clip, by
// which a failed one is given the work file's name.
char g_clip_name[kClipNameBytes];
char g_clip_proc[kProcPathBytes];

void UnlockClipDirectory() {
  if (g_clip_locked) flock(g_clip_folder, LOCK_UN);
  g_clip_locked = false;
}

// Takes an exclusive lock on the working directory, where the clip lives,
// so that runs sharing the directory take turns over the work file's name.
// Where the file system offers no lock, each clip is made where no other run
// can meet it, and the run says so once.
void LockClipDirectory() {
  if (g_clip_folder < 0) g_clip_folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int locked = g_clip_folder < 0 ? -1 : flock(g_clip_folder, LOCK_EX);
  while (locked != 0 && errno == EINTR) locked = flock(g_clip_folder, LOCK_EX);
  g_clip_locked = locked == 0;
  if (g_clip_locked || g_lock_missing) return;
  g_lock_missing = true;
  Warn(kNoFolderLock,
       "the working directory cannot be locked (%s), so crossfade clips are made under names "
       "no other run uses, and the clip of a crossfade that fails is not kept as %s",
       std::strerror(errno), kWorkFileName);
}

// Removes whatever holds the work file's name, while the lock is held, so
// that the name is free for a clip and never followed as a link. Returns
// whether the name is free.
bool FreeWorkFileName(const EditTable& t) {
  if (!g_clip_locked) return false;
  return unlink(t.clip_path) == 0 || errno == ENOENT;
}

// Creates a file at `path` for a clip, never through a link, never an
// existing file and never waiting on a FIFO.
int CreateClipAt(const char* path) {
  const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      kNewFileMode);
  if (fd >= 0) fcntl(fd, F_SETFL, O_RDWR);
  return fd;
}

// Holds the clip made under a name (`fd`, -1 when it was not made, with
// errno set); false when it was not.
bool TakeNamedClip(int fd) {
  if (fd < 0) return false;
  g_clip_fd = fd;
  g_clip_unnamed = false;
  return true;
}

// Creates the clip under `name`, removed if the run ends before it is laid;
// false (errno set) when it cannot.
bool CreateNamedClip(const char* name) {
  std::snprintf(g_clip_name, sizeof g_clip_name, "%s", name);
  return TakeNamedClip(MakeUnfinished(kUnfinishedClip, g_clip_name, CreateClipAt));
}

// Creates the clip under a name of the run's own.
bool CreateOwnNamedClip(const EditTable& t) {
  return TakeNamedClip(MakeOwnNamedFile(kUnfinishedClip, t.clip_path, g_clip_name,
                                        sizeof g_clip_name, CreateClipAt));
}

// Ends the run, as no clip can be made (errno says why).
[[noreturn]] void RefuseWorkFile(const EditTable& t) {
  Error("the crossfade work file cannot be made in the working directory: %s",
        std::strerror(errno));
  Fatal(kFileStatus, "Cannot create file %s\n", t.clip_path);
}

// Holds an open clip, unless one is held already: an unnamed file where the
// file system allows; else the work file's name when `name_free`, or a name
// of the run's own. Ends the run when none can be made.
void HoldClip(const EditTable& t, bool name_free) {
  if (g_clip_fd >= 0) return;
  char folder[kClipPathBytes];
  FolderOf(t.clip_path, folder, sizeof folder);
  g_clip_fd = OpenUnnamedFile(folder, kNewFileMode, g_clip_proc, sizeof g_clip_proc);
  if (g_clip_fd >= 0) {
    g_clip_unnamed = true;
    std::snprintf(g_clip_name, sizeof g_clip_name, "%s", t.clip_path);
  } else if (!LacksUnnamedFiles(errno) ||
             (!(name_free && CreateNamedClip(t.clip_path)) && !CreateOwnNamedClip(t))) {
    RefuseWorkFile(t);
  }
  UseDescriptorForPath(g_clip_name, g_clip_fd);
}

// Lets the clip go: an unnamed one vanishes; a named one keeps its name if
// `keep_name`, else its name is removed, unless by now it names another file.
void ReleaseClip(bool keep_name) {
  if (g_clip_fd < 0) return;
  struct stat held;
  struct stat named;
  if (!g_clip_unnamed && !keep_name && fstat(g_clip_fd, &held) == 0 &&
      lstat(g_clip_name, &named) == 0 && SameFile(held, named)) {
    unlink(g_clip_name);
  }
  MarkUnfinished(kUnfinishedClip, nullptr);
  UseDescriptorForPath(g_clip_name, -1);
  close(g_clip_fd);
  g_clip_fd = -1;
}

// Leaves the clip of a crossfade that failed in the working directory for
// inspection, under the work file's name while the lock keeps that name
// free: an unnamed clip is given it, a clip of that name stays. A clip under
// a name of the run's own goes. The next crossfade makes a new clip.
void LeaveFailedClip(const EditTable& t) {
  if (g_clip_fd >= 0 && g_clip_unnamed && g_clip_locked) {
    linkat(AT_FDCWD, g_clip_proc, AT_FDCWD, t.clip_path, AT_SYMLINK_FOLLOW);
  }
  ReleaseClip(std::strcmp(g_clip_name, t.clip_path) == 0);
}

// Says why a crossfade window of `width` frames from frame `first` of a file
// of `frames` frames could not be read, and what moves it (`fix`).
void ExplainWindow(const EditTable& t, int32_t e, const char* file, int64_t first,
                   int64_t width, int64_t frames, const char* fix) {
  const char* where = first < 0          ? "starts before the file's first frame"
                      : first > frames   ? "starts after the file's last frame"
                                         : "could not be read";
  Warn(kCrossfadeSkipped,
       "task %i (%s): no crossfade, as its window of %s reads the %s from %s to %s, which %s: %s",
       e + 1, Quote(t.source_path[e]).text, InTaskUnit(t, width).text, file,
       InTaskUnit(t, first).text, InTaskUnit(t, first + width).text, where, fix);
}

// Says why CROSSFADE could not make the clip of entry e, from the windows it
// was asked to read: W frames from W/2 before the insert frame of the
// destination and W/2 before the read start of the source.
void ExplainSkippedCrossfade(const EditTable& t, int32_t e, int32_t status) {
  const int64_t width = t.width_frames[e];
  const int64_t half = width / 2;
  if (status == kCrossfadeSourceFailed) {
    ExplainWindow(t, e, "source", int64_t(t.read_start[e]) - half, width, t.frame_count[e],
                  "set xin inside the source");
  } else if (status == kCrossfadeDestinationFailed) {
    // A window that starts past the destination's end belongs to an edit
    // that copies nothing, which leaves its insert point outside.
    const int64_t first = int64_t(t.insert_frame[e]) - half;
    char fix[160];
    std::snprintf(fix, sizeof fix, "set the insert point to %s or more, or narrow the crossfade",
                  InTaskUnit(t, half).text);
    ExplainWindow(t, e, "destination", first, width, t.total_frames,
                  first > t.total_frames ? "give the edit frames to copy: set xin inside the source"
                                         : fix);
  } else {
    Warn(kCrossfadeSkipped, "task %i (%s): no crossfade, as the work file %s could not be written",
         e + 1, Quote(t.source_path[e]).text, t.clip_path);
  }
}

// Warns that entry e's clip is not laid, as it would start at the
// destination's first frame.
void WarnNotLaid(const EditTable& t, int32_t e) {
  Warn(kCrossfadeSkipped,
       "task %i (%s): crossfade not laid, as its clip would start at the destination's first "
       "frame: set the insert point past %s, or narrow the crossfade",
       e + 1, Quote(t.source_path[e]).text, InTaskUnit(t, t.width_frames[e] / 2).text);
}

// True when `path` names the crossfade work file of the working directory:
// by its directory and name, or as the same existing file (`clip`, when
// `clip_exists`).
bool NamesWorkFile(const char* path, bool clip_exists, const struct stat& clip) {
  const char* slash = std::strrchr(path, '/');
  const char* name = slash == nullptr ? path : slash + 1;
  if (std::strcmp(name, kWorkFileName) == 0) {
    if (slash == nullptr) return true;
    char directory[kPathBytes];
    const size_t length = size_t(slash - path);
    std::memcpy(directory, path, length);
    directory[length] = '\0';
    if (SameExistingFile(length == 0 ? "/" : directory, ".")) return true;
  }
  return IsKnownFile(path, clip_exists, clip);
}

bool HasCrossfades(const EditTable& t) {
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (t.xf_type[j] != 0) return true;
  }
  return false;
}

}  // namespace

void CheckWorkFileFree(const EditTable& t) {
  if (!HasCrossfades(t)) return;
  struct stat clip = {};
  const bool clip_exists = stat(kWorkFileName, &clip) == 0;
  if (NamesWorkFile(t.destination_path, clip_exists, clip)) {
    ErrorAtLine(t.task_path, t.destination_line, "the destination %s is the file the crossfades "
                "are made in, %s in the working directory: give dest another name",
                Quote(t.destination_path).text, kWorkFileName);
    Fatal(kPlanFault, "%s clashes with the crossfade work file xfade_temp.wav\n", t.destination_path);
  }
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (NamesWorkFile(t.source_path[j], clip_exists, clip)) {
      ErrorAtLine(t.task_path, t.source_line[j], "task %i (%s) reads the file the crossfades are "
                  "made in, %s in the working directory: rename the source",
                  j + 1, Quote(t.source_path[j]).text, kWorkFileName);
      Fatal(kPlanFault, "%s clashes with the crossfade work file xfade_temp.wav\n", t.source_path[j]);
    }
  }
}

void CheckWorkFileCanBeMade(const EditTable& t) {
  if (!HasCrossfades(t)) return;
  HoldClip(t, false);
  if (!g_clip_unnamed) ReleaseClip(false);
}

void CheckWorkFileCouldBeMade(const EditTable& t) {
  char folder[kClipPathBytes];
  FolderOf(t.clip_path, folder, sizeof folder);
  if (HasCrossfades(t) && !CanMakeFileIn(folder)) RefuseWorkFile(t);
}

void PrepareCrossfade(EditTable& t, int32_t e, const EditSource& source, int64_t* clipped) {
  LockClipDirectory();
  HoldClip(t, FreeWorkFileName(t));
  MAKE_HEADER(g_clip_name, t.out_rate, uint32_t(t.out_bits), t.width_frames[e],
              uint32_t(t.out_channels), DestinationWave(t));
  const int32_t status =
      CROSSFADE(t.insert_frame[e], source.read_start, t.width_frames[e], t.xf_type[e], t.build_path,
                source.path, g_clip_name, t.out_channels, t.out_bytes_per_sample, t.level_db[e],
                clipped, DestinationSamples(t));
  if (status != kCrossfadeOk) {
    std::printf("Could not generate crossfade\n");
    ExplainSkippedCrossfade(t, e, status);
    t.xf_type[e] = 0;
    LeaveFailedClip(t);
    UnlockClipDirectory();
  }
}

bool LayCrossfade(const EditTable& t, int32_t e) {
  const int32_t width = t.width_frames[e];
  const int32_t start = t.insert_frame[e] - width / 2;
  if (start > 0) {
    INSERT_FILE(t.build_path, g_clip_name, start, t.out_bytes_per_sample, t.out_channels,
                std::min(width, t.total_frames - start), 0, 0.0);
  } else {
    WarnNotLaid(t, e);
  }
  if (!g_clip_unnamed) ReleaseClip(false);
  UnlockClipDirectory();
  return start > 0;
}

int32_t ForeseeCrossfade(const EditTable& t, int32_t e) {
  const int64_t half = t.width_frames[e] / 2;
  const int64_t first = int64_t(t.insert_frame[e]) - half;
  if (first < 0 || first > t.total_frames) return kCrossfadeDestinationFailed;
  if (t.converted[e]) return kCrossfadeOk;  // its converted stretch holds the whole window
  struct stat source;
  if (stat(t.source_path[e], &source) != 0) return kCrossfadeSourceFailed;
  const int64_t read_from = FramePosition(t.data_start[e], int64_t(t.read_start[e]) - half,
                                          BlockAlign(t.bytes_per_sample[e], t.channels[e]));
  return read_from <= source.st_size ? kCrossfadeOk : kCrossfadeSourceFailed;
}

bool CrossfadeWillBeLaid(const EditTable& t, int32_t e) {
  return t.xf_type[e] != 0 && ForeseeCrossfade(t, e) == kCrossfadeOk &&
         int64_t(t.insert_frame[e]) - t.width_frames[e] / 2 > 0;
}

void CheckCrossfade(EditTable& t, int32_t e) {
  const int32_t status = ForeseeCrossfade(t, e);
  if (status != kCrossfadeOk) {
    std::printf("Invalid crossfade for %s file\nCould not generate crossfade\n",
                status == kCrossfadeDestinationFailed ? "destination" : "source");
    ExplainSkippedCrossfade(t, e, status);
    t.xf_type[e] = 0;
  } else if (!CrossfadeWillBeLaid(t, e)) {
    WarnNotLaid(t, e);
  }
}

void CloseClipFiles(const EditTable&) {
  ReleaseClip(false);
  UnlockClipDirectory();
  if (g_clip_folder >= 0) close(g_clip_folder);
  g_clip_folder = -1;
  g_lock_missing = false;
}
