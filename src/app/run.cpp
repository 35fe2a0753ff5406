#include "app/run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/diagnostics.h"
#include "app/planning.h"
#include "app/process.h"
#include "app/task_file.h"
#include "dsp/crossfade.h"
#include "wav/wav_file.h"

namespace {

// Help and refused command lines end with this status.
constexpr int kUsageStatus = 1;
// --help and --version end with this status, as GNU programs do.
constexpr int kAnsweredStatus = 0;
// What AnswerRequest returns for an argument that names a task file.
constexpr int kNoRequest = -1;
// Status when the destination cannot be written.
constexpr int kFileStatus = 2;
// Suffix that mkstemp replaces with a unique name.
constexpr char kBuildSuffix[] = ".XXXXXX";
// Permission bits of a new file before the umask.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
// Mode of the build file while it is written: the run reopens it by path for
// writing, which the destination's final mode may not allow.
constexpr mode_t kBuildFileMode = 0600;
// A path that reopens an open descriptor's file, unnamed or not, and room
// for it with any descriptor number (bytes).
constexpr char kDescriptorPath[] = "/proc/self/fd/%d";
constexpr size_t kDescriptorPathBytes = 32;
// Names tried when linking the finished unnamed build file in beside the
// destination, before it is renamed over it.
constexpr int32_t kLinkNameAttempts = 100;
// Room for the destination's path, a dot, a process id, a dash, an attempt
// number and the zero (bytes).
constexpr int32_t kLinkNameBytes = kFinalPathBytes + 32;
// Links followed to a destination that does not exist yet before the chain
// is taken for a loop, as the system itself counts.
constexpr int32_t kMaxLinkHops = 40;

// The build file, open from its creation until it replaces the destination;
// -1 when the destination is built in place.
int g_build_fd = -1;
// The working directory, open from the first crossfade to the end of the
// run (-1 before), and whether a crossfade holds it locked.
int g_clip_folder = -1;
bool g_clip_locked = false;
// The crossfade clip as an unnamed file, held from the first crossfade to the
// end of the run, each clip's header emptying it of the one before; -1 while
// clips are made by name. Making and deleting a file for every crossfade
// costs more than the rest of a short one, and most where the file system
// passes over every recently freed inode when it allocates one (ext4 without
// a journal).
int g_clip_fd = -1;
// The /proc path of the unnamed clip, by which a failed clip is given its name.
char g_clip_named[kDescriptorPathBytes];

// The partly built destination, and the crossfade clip while it is being
// made and laid, removed if the process ends before they are complete, so
// that a failed run leaves no trace.
const char* volatile g_unfinished = nullptr;
const char* volatile g_unfinished_clip = nullptr;
// Signals that end a run from outside (Ctrl-C, kill, a closed terminal, a
// reader of the report that stopped early).
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

constexpr char kHelpText[] =
    "\nSplyce version " SPLYCE_VERSION " (2f)\n"
    "\nHelp...\n"
    "You may run the program with an argument specifying the controlling text file.\n"
    "Otherwise, the program will look for task.txt.\n"
    "\nCommands (placed at the start of a line):\n"
    "\t'src' to specify a source file.\n"
    "\t'xin' to set source file copy start. Omitting assumes 0.\n"
    "\t'xout' to set source file copy stop. Omitting assumes end of file\n"
    "\t'trim' to modify xout.\n"
    "\t'ins' to set the insert point in the destination file.\n"
    "\tOmitting 'ins' assumes the current edit will be appended to previous.\n"
    "\t'lvl' to set the volume level of source.  Omitting sets it to 0 dB.\n"
    "\t'dest' to specify the destination file.\n"
    "\nAfter a command use a tab and then enter a value in seconds or a filename\nas appropriate.\n"
    "\nIf you prefer to enter sample values, type using_samples on the first line\nof the task file.\n"
    "\nOperation:\n"
    "\nxin, xout, trim and ins commands are placed on lines below the src command.\n"
    "\nOnly one dest command is needed per text file.\n"
    "\nEntries get re-sorted by insert values and earliest get written first.\n"
    "New edits overwrite overhanging previous edits.\n"
    "\nAll source tracks must be of the same bits, samplerate, and channels.\n"
    "Supported are 16 or 24 bits, 1 or 2 channels, and .wav files only.\n"
    "The destination track will match the source track specifications.\n"
    "\nCrossfades are added with the command 'xf' followed by a tab\n"
    "and the width in milliseconds, followed by a tab and a type 1, 2, or 3.\n"
    "\nType 1 achieves an equal mix of both tracks at the splice point.\n"
    "\nType 2 achieves an equal mix without power compensation\n"
    "\nWith type 3, the decay of the file to the left of the splice is slow\n"
    "at first and then more rapid with time.\n"
    "\nWith type 4, the decay is fast at first and then slower with time\n"
    "\nExample: A 200 msec type 1 crossfade:\n"
    "xf    200     1\n\n";

// Prints a frame value in the run's unit: frames, or seconds to 3 places.
void PrintFrames(const EditTable& t, const char* label, int32_t frames) {
  if (t.time_unit == kFrames) {
    std::printf("\t%s %i samples\n", label, frames);
  } else {
    std::printf("\t%s %.3f sec\n", label, double(frames) / double(t.sample_rate[0]));
  }
}

void ReportEdit(const EditTable& t, int32_t e) {
  std::printf("Task %i", e + 1);
  PrintFrames(t, "Insert point", t.insert_frame[e]);
  std::printf("\tFile %s\n", t.source_path[e]);
  PrintFrames(t, "Read start", t.read_start[e]);
  PrintFrames(t, "Read length", t.read_length[e]);
  std::printf("\tLevel %.3f dB\n", t.level_db[e]);
}

void ReportBuilt(const EditTable& t) {
  std::printf("Built\t%s\n", t.destination_path);
  PrintFrames(t, "Length", t.total_frames);
  std::printf("\tBits %i\n\tChannels %i\n\tSample rate %i\n\n", t.bits[0], t.channels[0],
              t.sample_rate[0]);
}

void UnlockClipDirectory() {
  if (g_clip_locked) flock(g_clip_folder, LOCK_UN);
  g_clip_locked = false;
}

// Takes an exclusive lock on the working directory, where the clip lives,
// so that runs sharing the directory take turns over the clip's name. Where
// the file system offers no lock the run goes on without one.
void LockClipDirectory() {
  if (g_clip_folder < 0) g_clip_folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_clip_folder < 0) return;
  int locked = flock(g_clip_folder, LOCK_EX);
  while (locked != 0 && errno == EINTR) locked = flock(g_clip_folder, LOCK_EX);
  g_clip_locked = locked == 0;
}

// Writes to `folder` the folder part of `path`: "." for a bare name.
void FolderOf(const char* path, char* folder, size_t size) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::snprintf(folder, size, ".");
  } else {
    const int length = slash == path ? 1 : int(slash - path);
    std::snprintf(folder, size, "%.*s", length, path);
  }
}

// Opens an unnamed file in `folder` and writes to `named` the /proc path that
// opens it again, which is how it is later given a name. Returns its
// descriptor, or -1 where the file system or the system offers no such file.
int OpenUnnamedFile(const char* folder, mode_t mode, char* named, size_t size) {
  const int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  std::snprintf(named, size, kDescriptorPath, fd);
  const int reopened = open(named, O_RDWR | O_CLOEXEC);
  if (reopened < 0) {
    close(fd);
    return -1;
  }
  close(reopened);
  return fd;
}

// Has clips made by name again, closing the unnamed one.
void LetUnnamedClipGo(const EditTable& t) {
  if (g_clip_fd < 0) return;
  OpenPathAsDescriptor(t.clip_path, -1);
  close(g_clip_fd);
  g_clip_fd = -1;
}

// Holds an unnamed file in the clip's folder for the clips to be made in,
// unless one is held already. False where there can be none: clips are then
// made by name.
bool HoldUnnamedClip(const EditTable& t) {
  if (g_clip_fd >= 0) return true;
  char folder[kFinalPathBytes];
  FolderOf(t.clip_path, folder, sizeof folder);
  g_clip_fd = OpenUnnamedFile(folder, kNewFileMode, g_clip_named, sizeof g_clip_named);
  if (g_clip_fd >= 0) OpenPathAsDescriptor(t.clip_path, g_clip_fd);
  return g_clip_fd >= 0;
}

// Closes what the crossfades held open: the unnamed clip and the working
// directory.
void CloseClipFiles(const EditTable& t) {
  LetUnnamedClipGo(t);
  UnlockClipDirectory();
  if (g_clip_folder >= 0) close(g_clip_folder);
  g_clip_folder = -1;
}

// Leaves the clip of a crossfade that failed in the working directory, under
// the work file's name, for inspection: an unnamed clip is given the name and
// let go, and the next crossfade makes a new one.
void LeaveFailedClip(const EditTable& t) {
  g_unfinished_clip = nullptr;
  if (g_clip_fd < 0) return;  // a clip made by name is there already
  linkat(AT_FDCWD, g_clip_named, AT_FDCWD, t.clip_path, AT_SYMLINK_FOLLOW);
  LetUnnamedClipGo(t);
}

// Deletes the clip after its crossfade. An unnamed clip has no name to
// delete: the next clip's header empties it, and the end of the run frees it.
void DeleteClip(const EditTable& t) {
  if (g_clip_fd < 0) std::remove(t.clip_path);
  g_unfinished_clip = nullptr;
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
    char fix[160];
    std::snprintf(fix, sizeof fix, "set the insert point to %s or more, or narrow the crossfade",
                  InTaskUnit(t, half).text);
    ExplainWindow(t, e, "destination", int64_t(t.insert_frame[e]) - half, width,
                  t.total_frames, fix);
  } else {
    Warn(kCrossfadeSkipped, "task %i (%s): no crossfade, as the work file %s could not be written",
         e + 1, Quote(t.source_path[e]).text, t.clip_path);
  }
}

// Mixes the clip of entry e from the destination as it stands before the
// copy, counting the mixed samples that wrap into `wrapped`. On failure the
// edit goes ahead without a crossfade.
void PrepareCrossfade(EditTable& t, int32_t e, int64_t* wrapped) {
  LockClipDirectory();
  // Remove whatever holds the name first, so a link is never followed; a
  // name that stays (a folder) is left for the making of a named clip to
  // refuse.
  const bool name_free = unlink(t.clip_path) == 0 || errno == ENOENT;
  if (!name_free) LetUnnamedClipGo(t);
  if (!name_free || !HoldUnnamedClip(t)) g_unfinished_clip = t.clip_path;
  MAKE_HEADER(t.clip_path, t.sample_rate[0], uint32_t(t.bits[0]), t.width_frames[e],
              uint32_t(t.channels[0]));
  const int32_t status =
      CROSSFADE(t.insert_frame[e], t.read_start[e], t.width_frames[e], t.xf_type[e],
                t.build_path, t.source_path[e], t.clip_path, t.channels[0],
                t.bytes_per_sample[0], t.level_db[e], wrapped);
  if (status != kCrossfadeOk) {
    std::printf("Could not generate crossfade\n");
    ExplainSkippedCrossfade(t, e, status);
    t.xf_type[e] = 0;
    LeaveFailedClip(t);
    UnlockClipDirectory();
  }
}

// Lays the clip of entry e over its splice, straddling the insert frame, and
// no further than the destination's last frame. Returns whether the clip was
// laid: one that would start at frame 0 or before is not.
bool LayCrossfade(const EditTable& t, int32_t e) {
  const int32_t width = t.width_frames[e];
  const int32_t start = t.insert_frame[e] - width / 2;
  if (start > 0) {
    INSERT_FILE(t.build_path, t.clip_path, start, t.bytes_per_sample[0], t.channels[0],
                std::min(width, t.total_frames - start), 0, 0.0);
  } else {
    Warn(kCrossfadeSkipped,
         "task %i (%s): crossfade not laid, as its clip would start at the destination's first "
         "frame: set the insert point past %s, or narrow the crossfade",
         e + 1, Quote(t.source_path[e]).text, InTaskUnit(t, width / 2).text);
  }
  DeleteClip(t);
  UnlockClipDirectory();
  return start > 0;
}

// Warns of the samples of entry e that went past full scale and were clipped.
void ReportClips(const EditTable& t, int32_t e, int64_t level_clipped, int64_t mix_clipped) {
  if (level_clipped > 0) {
    Warn(kLevelClipped,
         "task %i (%s): %lld %s past full scale at lvl %.3f dB and %s clipped: lower the level",
         e + 1, Quote(t.source_path[e]).text, static_cast<long long>(level_clipped),
         level_clipped == 1 ? "sample went" : "samples went", t.level_db[e],
         level_clipped == 1 ? "was" : "were");
  }
  if (mix_clipped > 0) {
    Warn(kMixClipped,
         "task %i (%s): %lld %s of its crossfade went past full scale and %s clipped: lower the "
         "level or the sources",
         e + 1, Quote(t.source_path[e]).text, static_cast<long long>(mix_clipped),
         mix_clipped == 1 ? "sample" : "samples", mix_clipped == 1 ? "was" : "were");
  }
}

// Warns when the crossfade of appended entry e fades out fewer frames of the
// entry before it than it could, because that entry's source ends.
void CheckRunOn(const EditTable& t, int32_t e) {
  if (e == 0 || t.append[e] != 1 || t.xf_type[e] == 0 || t.width_frames[e] <= 0) return;
  const int64_t wanted = std::min(t.width_frames[e] / 2, std::max(t.read_length[e], 0));
  const int64_t missing = wanted - t.run_on[e - 1];
  if (missing <= 0) return;
  Warn(kRunOnMissing,
       "task %i (%s): its crossfade fades out only %s of task %i, whose source ends there, so "
       "the last %s of the fade-out are silence: start task %i's read earlier",
       e + 1, Quote(t.source_path[e]).text, InTaskUnit(t, t.run_on[e - 1]).text, e,
       InTaskUnit(t, missing).text, e);
}

// Writes entry e with its report: the crossfade's clip mixed from the
// destination as it stands, the source copied with its level and any
// run-on under the next entry's crossfade, then the clip laid.
void WriteEdit(EditTable& t, int32_t e) {
  ReportEdit(t, e);
  int64_t mix_clipped = 0;
  int64_t level_clipped = 0;
  // A cut (a gain of 1 or less) never takes a sample past full scale, so
  // only a boost pays for counting.
  int64_t* level_count = t.level_db[e] > 0.0 ? &level_clipped : nullptr;
  CheckRunOn(t, e);
  if (t.xf_type[e] != 0) PrepareCrossfade(t, e, &mix_clipped);
  INSERT_FILE(t.build_path, t.source_path[e], t.insert_frame[e], t.bytes_per_sample[0],
              t.channels[0], t.read_length[e] + t.run_on[e], t.read_start[e], t.level_db[e],
              level_count);
  if (t.xf_type[e] == 0 || !LayCrossfade(t, e)) mix_clipped = 0;  // no clip reached the file
  ReportClips(t, e, level_clipped, mix_clipped);
  std::printf("\tDone\n\n");
}

// Answers an argument that asks for help or the version, returning the
// status to end with; any other argument is a task file (kNoRequest).
int AnswerRequest(const char* argument) {
  const bool help = std::strcmp(argument, "help") == 0 || std::strcmp(argument, "-h") == 0;
  if (help || std::strcmp(argument, "--help") == 0) {
    std::fputs(kHelpText, stdout);
    return help ? kUsageStatus : kAnsweredStatus;
  }
  if (std::strcmp(argument, "--version") == 0) {
    std::printf("splyce %s\n", SPLYCE_VERSION);
    return kAnsweredStatus;
  }
  return kNoRequest;
}

// Copies the command-line task path, refusing one that does not fit.
void TakeTaskPath(EditTable& t, const char* argument) {
  if (std::strlen(argument) > size_t(kMaxPathChars)) {
    Fatal(kUsageStatus, "Task file name is too long: at most 127 characters\n");
  }
  std::strcpy(t.task_path, argument);
}

// Refuses a task that names nothing to build.
void CheckTaskComplete(const EditTable& t) {
  if (t.entry_count == 0) Fatal(kUsageStatus, "No source tracks in task file\n");
  if (t.destination_path[0] == '\0') Fatal(kUsageStatus, "No destination file given: add a dest line\n");
}

void RemoveUnfinished() {
  if (g_unfinished != nullptr) unlink(g_unfinished);
  if (g_unfinished_clip != nullptr) unlink(g_unfinished_clip);
}

// Removes the unfinished files, then lets the signal end the process as it
// would have.
void RemoveUnfinishedOnSignal(int signal_number) {
  RemoveUnfinished();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Refuses, before anything is created, a destination that the run may not
// replace: a path ending in "/", one that, links followed, exists and is not
// a regular file (a directory, FIFO, device or socket) or is a file the user
// may not write, or one whose folders cannot be reached.
void CheckDestination(const EditTable& t) {
  const char* path = t.destination_path;
  const size_t length = std::strlen(path);
  struct stat info;
  bool refused = length == 0 || path[length - 1] == '/';
  if (!refused) {
    if (stat(path, &info) == 0) {
      refused = !S_ISREG(info.st_mode) || access(path, W_OK) != 0;
    } else {
      refused = errno != ENOENT;  // a missing file is created; any other fault stops the run
    }
  }
  if (refused) Fatal(kFileStatus, "Cannot create file %s\n", path);
}

// Sets the final path to where the last of a chain of links points, for a
// file that does not exist yet, so that it is made there and the links stay.
// False when the chain is too long or its path does not fit.
bool FollowDanglingLinks(EditTable& t) {
  char target[kFinalPathBytes];
  char folder[kFinalPathBytes];
  for (int32_t hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info;
    if (lstat(t.final_path, &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    const ssize_t length = readlink(t.final_path, target, sizeof target - 1);
    if (length < 0) return false;
    target[length] = '\0';
    FolderOf(t.final_path, folder, sizeof folder);
    const int written = target[0] == '/'
                            ? std::snprintf(t.final_path, kFinalPathBytes, "%s", target)
                            : std::snprintf(t.final_path, kFinalPathBytes, "%s/%s", folder, target);
    if (written < 0 || written >= kFinalPathBytes) return false;
  }
  return false;
}

// Sets the file the run finally writes: the destination, or the file it
// names when it is a symbolic link, so that the link itself stays.
void ResolveFinalPath(EditTable& t) {
  struct stat info;
  std::strcpy(t.final_path, t.destination_path);
  if (lstat(t.destination_path, &info) != 0 || !S_ISLNK(info.st_mode)) return;
  if (realpath(t.destination_path, t.final_path) != nullptr) return;
  std::strcpy(t.final_path, t.destination_path);
  if (!FollowDanglingLinks(t)) Fatal(kFileStatus, "Cannot create file %s\n", t.destination_path);
}

// Opens an unnamed file in the destination's folder to build into, which
// vanishes by itself if the process dies, and names it by its descriptor so
// that every operation can open it by path. False where the file system or
// the system offers no such file.
bool OpenUnnamedBuildFile(EditTable& t) {
  char folder[kFinalPathBytes];
  FolderOf(t.final_path, folder, sizeof folder);
  g_build_fd = OpenUnnamedFile(folder, kBuildFileMode, t.build_path, sizeof t.build_path);
  return g_build_fd >= 0;
}

// Creates a new, uniquely named file beside the destination to build into,
// removed if the run ends before it is complete.
bool OpenNamedBuildFile(EditTable& t) {
  std::snprintf(t.build_path, sizeof t.build_path, "%s%s", t.final_path, kBuildSuffix);
  const int fd = mkstemp(t.build_path);
  if (fd < 0) return false;
  g_unfinished = t.build_path;
  g_build_fd = fd;
  return true;
}

// Sets up the file to build into, so that an existing destination stays
// untouched until the run has succeeded. In a folder that takes no new file
// a destination that the user may write is built in place, as opening it for
// writing would.
void CreateBuildFile(EditTable& t) {
  g_build_fd = -1;
  OpenPathAsDescriptor(nullptr, -1);
  CheckDestination(t);
  ResolveFinalPath(t);
  if (!OpenUnnamedBuildFile(t) && !OpenNamedBuildFile(t)) {
    if (access(t.final_path, W_OK) != 0) {
      Fatal(kFileStatus, "Cannot create file %s\n", t.destination_path);
    }
    std::strcpy(t.build_path, t.final_path);
  }
  if (g_build_fd >= 0) OpenPathAsDescriptor(t.build_path, g_build_fd);
  ShowPathAs(t.build_path, t.destination_path);
}

// Reserves the build file's blocks for its header and for the frames that
// each edit writes, leaving its size alone: on ext4, writing into reserved
// blocks costs less than having each block allocated as it is first written.
// Where the file system reserves nothing, blocks are allocated as they are
// written, as before. Silence that no edit writes stays a hole. A destination
// built in place keeps the blocks it has.
void ReserveBuildBlocks(const EditTable& t) {
  if (g_build_fd < 0) return;
  const int64_t block_align = BlockAlign(t.bytes_per_sample[0], t.channels[0]);
  fallocate(g_build_fd, FALLOC_FL_KEEP_SIZE, 0, kHeaderBytes);
  for (int32_t j = 0; j < t.entry_count; ++j) {
    const int64_t frames = int64_t(t.read_length[j]) + t.run_on[j];
    if (frames <= 0) continue;
    fallocate(g_build_fd, FALLOC_FL_KEEP_SIZE, kHeaderBytes + t.insert_frame[j] * block_align,
              frames * block_align);
  }
}

// Gives the build file the owner and group of the file it replaces, or the
// group alone: a user who is not root may change neither the owner nor to a
// group they are not in. Returns whether either was kept.
bool KeepOwnerAndGroup(const struct stat& replaced) {
  return fchown(g_build_fd, replaced.st_uid, replaced.st_gid) == 0 ||
         fchown(g_build_fd, uid_t(-1), replaced.st_gid) == 0;
}

// Gives the build file the mode of the file it replaces, or what the umask
// allows a new file. Set last, since a change of owner clears set-ID bits.
void SetFinalMode(const char* final_path) {
  struct stat replaced;
  mode_t mode = 0;
  if (stat(final_path, &replaced) == 0) {
    KeepOwnerAndGroup(replaced);
    mode = replaced.st_mode & kPermissionBits;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = kNewFileMode & ~mask;
  }
  fchmod(g_build_fd, mode);
}

// Blocks or unblocks the ending signals, around the moment when the built
// file has a name of its own but is not yet the destination.
void MaskEndingSignals(int how) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal_number : kEndingSignals) sigaddset(&signals, signal_number);
  sigprocmask(how, &signals, nullptr);
}

// Gives the unnamed build file a new name beside the destination, then
// renames it over the destination. False when either step fails.
bool LinkOverDestination(const EditTable& t) {
  char name[kLinkNameBytes];
  for (int32_t attempt = 0; attempt < kLinkNameAttempts; ++attempt) {
    std::snprintf(name, sizeof name, "%s.%ld-%d", t.final_path, long(getpid()), attempt);
    if (linkat(AT_FDCWD, t.build_path, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) {
      if (std::rename(name, t.final_path) == 0) return true;
      unlink(name);
      return false;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Moves the built file over the destination with the mode, owner and group
// that the destination had.
void ReplaceDestination(const EditTable& t) {
  if (g_build_fd < 0) return;  // built in place
  OpenPathAsDescriptor(t.build_path, -1);
  SetFinalMode(t.final_path);
  bool replaced = false;
  if (g_unfinished == nullptr) {  // only a named build file is marked for removal
    MaskEndingSignals(SIG_BLOCK);
    replaced = LinkOverDestination(t);
    MaskEndingSignals(SIG_UNBLOCK);
  } else {
    replaced = std::rename(t.build_path, t.final_path) == 0;
  }
  if (!replaced) Fatal(kFileStatus, "Cannot create file %s\n", t.destination_path);
  g_unfinished = nullptr;
  close(g_build_fd);
  g_build_fd = -1;
}

}  // namespace

void SetDefaults(EditTable& t) {
  std::memset(&t, 0, sizeof t);
  std::strcpy(t.task_path, "task.txt");
  std::strcpy(t.clip_path, "xfade_temp.wav");
  t.time_unit = kSeconds;
  for (int32_t j = 0; j < kMaxEntries; ++j) {
    t.append[j] = 1;
    t.width_ms[j] = kDefaultWidthMs;
    t.width_frames[j] = kDefaultWidthFrames;
  }
}

void BuildDestination(EditTable& t) {
  const int32_t bytes = t.bytes_per_sample[0];
  const int32_t channels = t.channels[0];
  CloseClipFiles(t);
  CreateBuildFile(t);
  ReserveBuildBlocks(t);
  MAKE_HEADER(t.build_path, t.sample_rate[0], uint32_t(t.bits[0]), t.total_frames,
              uint32_t(channels));
  // The T frames start as silence: the file grows over them without a write.
  PAD_FILE(t.build_path, 0, bytes, channels, t.total_frames);
  for (int32_t k = 0; k < t.entry_count; ++k) WriteEdit(t, t.write_order[k]);
  CloseClipFiles(t);
  ReplaceDestination(t);
  ReportBuilt(t);
}

int RunSplyce(int argc, char** argv) {
  static EditTable table;
  SetDefaults(table);
  std::atexit(RemoveUnfinished);
  std::atexit(ReportHiddenDiagnostics);
  for (int signal_number : kEndingSignals) std::signal(signal_number, RemoveUnfinishedOnSignal);
  if (argc > 1) {
    const int answered = AnswerRequest(argv[1]);
    if (answered != kNoRequest) return answered;
    TakeTaskPath(table, argv[1]);
  }
  ReadTaskFile(table.entry_count, table.source_path, table.destination_path, table.xin,
               table.xout, table.ins, table.trim, table.append, table.task_path,
               table.time_unit, table.xf_type, table.width_ms, table.level_db);
  ReadSourceLines(table.source_line);
  std::printf("\nRead %i entries in task file\n\n", table.entry_count);
  CheckTaskComplete(table);
  PlanEdits(table);
  BuildDestination(table);
  return 0;
}
