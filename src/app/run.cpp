#include "app/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/planning.h"
#include "app/process.h"
#include "app/task_file.h"
#include "dsp/crossfade.h"
#include "wav/wav_file.h"

namespace {

// Help and refused command lines end with this status.
constexpr int kUsageStatus = 1;
// Status when the destination cannot be written.
constexpr int kFileStatus = 2;
// Suffix that mkstemp replaces with a unique name.
constexpr char kBuildSuffix[] = ".XXXXXX";
// Permission bits of a new file before the umask.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;

// The partly built destination, and the crossfade clip while it is being
// made and laid, removed if the process ends before they are complete, so
// that a failed run leaves no trace.
const char* volatile g_unfinished = nullptr;
const char* volatile g_unfinished_clip = nullptr;
// Signals that end a run from outside (Ctrl-C, kill, a closed terminal).
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

constexpr char kHelpText[] =
    "\nSplyce version 2.21 (2f)\n"
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

// Mixes the clip of entry e from the destination as it stands before the
// copy. On failure the edit goes ahead without a crossfade.
void PrepareCrossfade(EditTable& t, int32_t e) {
  // Remove whatever holds the name first, so a link is never followed.
  unlink(t.clip_path);
  g_unfinished_clip = t.clip_path;
  MAKE_HEADER(t.clip_path, t.sample_rate[0], uint32_t(t.bits[0]), t.width_frames[e],
              uint32_t(t.channels[0]));
  const int32_t status =
      CROSSFADE(t.insert_frame[e], t.read_start[e], t.width_frames[e], t.xf_type[e],
                t.build_path, t.source_path[e], t.clip_path, t.channels[0],
                t.bytes_per_sample[0], t.level_db[e]);
  if (status != kCrossfadeOk) {
    std::printf("Could not generate crossfade\n");
    t.xf_type[e] = 0;
    g_unfinished_clip = nullptr;  // a clip that failed stays for inspection
  }
}

// Lays the clip of entry e over its splice, straddling the insert frame.
void LayCrossfade(const EditTable& t, int32_t e) {
  const int32_t width = t.width_frames[e];
  const int32_t start = t.insert_frame[e] - width / 2;
  if (start > 0) {
    INSERT_FILE(t.build_path, t.clip_path, start, t.bytes_per_sample[0], t.channels[0],
                width, 0, 0.0);
  }
  std::remove(t.clip_path);
  g_unfinished_clip = nullptr;
}

void WriteEdit(EditTable& t, int32_t e) {
  ReportEdit(t, e);
  if (t.xf_type[e] != 0) PrepareCrossfade(t, e);
  INSERT_FILE(t.build_path, t.source_path[e], t.insert_frame[e], t.bytes_per_sample[0],
              t.channels[0], t.read_length[e], t.read_start[e], t.level_db[e]);
  if (t.xf_type[e] != 0) LayCrossfade(t, e);
  std::printf("\tDone\n\n");
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

// The mode the destination gets: an existing file keeps its own, a new one
// gets what the umask allows.
mode_t DestinationMode(const char* path) {
  struct stat info;
  if (stat(path, &info) == 0) return info.st_mode & kPermissionBits;
  const mode_t mask = umask(0);
  umask(mask);
  return kNewFileMode & ~mask;
}

// Sets the file the run finally writes: the destination, or the file it
// names when it is a symbolic link, so that the link itself stays.
void ResolveFinalPath(EditTable& t) {
  struct stat info;
  if (lstat(t.destination_path, &info) != 0 || !S_ISLNK(info.st_mode) ||
      realpath(t.destination_path, t.final_path) == nullptr) {
    std::strcpy(t.final_path, t.destination_path);
  }
}

// Creates a new, unique file beside the final destination to build into, so
// that an existing destination stays untouched until the run has succeeded.
void CreateBuildFile(EditTable& t) {
  ResolveFinalPath(t);
  std::snprintf(t.build_path, sizeof t.build_path, "%s%s", t.final_path, kBuildSuffix);
  const int fd = mkstemp(t.build_path);
  if (fd < 0) Fatal(kFileStatus, "Cannot create file %s\n", t.destination_path);
  g_unfinished = t.build_path;
  fchmod(fd, DestinationMode(t.final_path));
  close(fd);
}

// Moves the built file over the destination.
void ReplaceDestination(const EditTable& t) {
  if (std::rename(t.build_path, t.final_path) != 0) {
    Fatal(kFileStatus, "Cannot create file %s\n", t.destination_path);
  }
  g_unfinished = nullptr;
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
  CreateBuildFile(t);
  MAKE_HEADER(t.build_path, t.sample_rate[0], uint32_t(t.bits[0]), t.total_frames,
              uint32_t(channels));
  PAD_FILE(t.build_path, t.total_frames, bytes, channels, t.total_frames);
  const int32_t lead_in = t.insert_frame[t.write_order[0]];
  if (lead_in != 0) PAD_FILE(t.build_path, 0, bytes, channels, lead_in);
  for (int32_t k = 0; k < t.entry_count; ++k) WriteEdit(t, t.write_order[k]);
  ReplaceDestination(t);
  ReportBuilt(t);
}

int RunSplyce(int argc, char** argv) {
  static EditTable table;
  SetDefaults(table);
  std::atexit(RemoveUnfinished);
  for (int signal_number : kEndingSignals) std::signal(signal_number, RemoveUnfinishedOnSignal);
  if (argc > 1) {
    if (std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "-h") == 0) {
      std::fputs(kHelpText, stdout);
      return kUsageStatus;
    }
    TakeTaskPath(table, argv[1]);
  }
  ReadTaskFile(table.entry_count, table.source_path, table.destination_path, table.xin,
               table.xout, table.ins, table.trim, table.append, table.task_path,
               table.time_unit, table.xf_type, table.width_ms, table.level_db);
  std::printf("\nRead %i entries in task file\n\n", table.entry_count);
  CheckTaskComplete(table);
  PlanEdits(table);
  BuildDestination(table);
  return 0;
}
