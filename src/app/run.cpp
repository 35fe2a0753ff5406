#include "app/run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/conversion.h"
#include "app/destination.h"
#include "app/drawing.h"
#include "app/output_file.h"
#include "app/plan.h"
#include "app/planning.h"
#include "app/splice.h"
#include "app/task_file.h"
#include "base/diagnostics.h"
#include "base/fatal.h"
#include "wav/wav_file.h"

namespace {

// Help and refused command lines end with this status.
constexpr int kUsageStatus = 1;
// --help and --version end with this status, as GNU programs do.
constexpr int kAnsweredStatus = 0;
// What AnswerRequest returns for an argument that names a task file.
constexpr int kNoRequest = -1;
// Status of a task file whose run could not be started, and the base of the
// status of one that a signal ended, as a shell gives it.
constexpr int kFileStatus = 2;
constexpr int kSignalStatusBase = 128;
// The task file run when the command line names none.
constexpr char kDefaultTaskPath[] = "task.txt";

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
    "Supported are 16, 24 and 32-bit integer and 32 and 64-bit float PCM, 1 to 32 channels,\n"
    "and .wav files only.\n"
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

// Prints a frame value in the run's unit: frames, or seconds to 3 places
// at `rate` (a source's read is told in its own frames).
void PrintFrames(const EditTable& t, const char* label, int32_t frames, int32_t rate) {
  if (t.time_unit == kFrames) {
    std::printf("\t%s %i samples\n", label, frames);
  } else {
    std::printf("\t%s %.3f sec\n", label, double(frames) / double(rate));
  }
}

void ReportEdit(const EditTable& t, int32_t e) {
  std::printf("Task %i", e + 1);
  PrintFrames(t, "Insert point", t.insert_frame[e], t.out_rate);
  std::printf("\tFile %s\n", t.source_path[e]);
  PrintFrames(t, "Read start", t.read_start[e], t.sample_rate[e]);
  PrintFrames(t, "Read length", t.read_length[e], t.sample_rate[e]);
  std::printf("\tLevel %.3f dB\n", t.level_db[e]);
}

// The closing summary of a run (`label` "Built") or of a check ("Planned").
void ReportBuilt(const EditTable& t, const char* label) {
  std::printf("%s\t%s\n", label, t.destination_path);
  PrintFrames(t, "Length", t.total_frames, t.out_rate);
  std::printf("\tBits %i\n\tChannels %i\n\tSample rate %i\n\n", t.out_bits, t.out_channels,
              t.out_rate);
}

// Warns of the float samples of entry e that went past full scale, which
// the destination keeps: a player or a conversion to integers clips them.
void ReportFloatsPastFullScale(const EditTable& t, int32_t e, int64_t level_beyond,
                               int64_t mix_beyond) {
  if (level_beyond + mix_beyond == 0) return;
  Warn(kFloatPastFullScale,
       "task %i (%s): %lld samples went past full scale (%lld at lvl %.3f dB, %lld in its "
       "crossfade); float samples keep them, but players and conversions to integer clip them: "
       "lower the level",
       e + 1, Quote(t.source_path[e]).text, static_cast<long long>(level_beyond + mix_beyond),
       static_cast<long long>(level_beyond), t.level_db[e], static_cast<long long>(mix_beyond));
}

// Warns of the samples of entry e that went past full scale: clipped, or,
// for float samples, kept.
void ReportClips(const EditTable& t, int32_t e, int64_t level_clipped, int64_t mix_clipped) {
  if (DestinationSamples(t).encoding == kEncodingFloat) {
    ReportFloatsPastFullScale(t, e, level_clipped, mix_clipped);
    return;
  }
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

// Warns of the samples of entry e that its conversion to an integer
// destination took past full scale (a float source's beyond it, or a
// resampler's overshoot near it) and clipped.
void ReportConversionClips(const EditTable& t, int32_t e, int64_t clipped) {
  if (clipped == 0) return;
  Warn(kConversionClipped,
       "task %i (%s): %lld %s past full scale in its conversion to the destination's format and "
       "%s clipped: lower the source's level",
       e + 1, Quote(t.source_path[e]).text, static_cast<long long>(clipped),
       clipped == 1 ? "sample went" : "samples went", clipped == 1 ? "was" : "were");
}

// Warns when the crossfade of appended entry e fades out fewer frames of the
// entry before it than it could, because that entry's source ends.
void CheckRunOn(const EditTable& t, int32_t e) {
  if (e == 0 || t.append[e] != 1 || t.xf_type[e] == 0 || t.width_frames[e] <= 0) return;
  const int64_t wanted = std::min(t.width_frames[e] / 2, std::max(t.copy_length[e], 0));
  const int64_t missing = wanted - t.run_on[e - 1];
  if (missing <= 0) return;
  Warn(kRunOnMissing,
       "task %i (%s): its crossfade fades out only %s of task %i, whose source ends there, so "
       "the last %s of the fade-out are silence: end task %i's read that much earlier",
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
  int64_t conversion_clipped = 0;
  CheckRunOn(t, e);
  const EditSource source = SourceOfEdit(t, e, &conversion_clipped);
  if (t.xf_type[e] != 0) PrepareCrossfade(t, e, source, &mix_clipped);
  INSERT_FILE(t.build_path, source.path, t.insert_frame[e], t.out_bytes_per_sample, t.out_channels,
              t.copy_length[e] + t.run_on[e], source.read_start, t.level_db[e], level_count,
              DestinationSamples(t));
  if (t.xf_type[e] == 0 || !LayCrossfade(t, e)) mix_clipped = 0;  // no clip reached the file
  ReportConversionClips(t, e, conversion_clipped);
  ReportClips(t, e, level_clipped, mix_clipped);
  std::printf("\tDone\n\n");
}

// What the command line asks besides the task files: warnings as errors, a
// check instead of a build, and the files to write the plan and the
// drawing to.
struct RunOptions {
  bool strict;
  bool check;
  const char* plan;
  const char* drawing;
};

// The layout of the plan, for the plan file and the drawing.
PlanLayout g_layout;

// Writes the plan as JSON to `path`.
void WritePlanFile(const EditTable& t, const char* path) {
  LayOutPlan(t, &g_layout);
  OutputFile out;
  OpenOutputFile(kUnfinishedPlan, path, &out);
  WritePlan(t, g_layout, out.file);
  FinishOutputFile(kUnfinishedPlan, &out);
}

// Writes the drawing as SVG to `path`, with the envelope of the file at
// `built` (null: the plan alone).
void WriteDrawingFile(const EditTable& t, const char* path, const char* built) {
  LayOutPlan(t, &g_layout);
  OutputFile out;
  OpenOutputFile(kUnfinishedDrawing, path, &out);
  DrawTimeline(t, g_layout, built, out.file);
  FinishOutputFile(kUnfinishedDrawing, &out);
}

// Reports entry e as the run would write it, with what its crossfade would
// come to.
void CheckEdit(EditTable& t, int32_t e) {
  ReportEdit(t, e);
  CheckRunOn(t, e);
  if (t.xf_type[e] != 0) CheckCrossfade(t, e);
  std::printf("\tPlanned\n\n");
}

// Makes every check a build makes before its first edit, and reports the
// edits as a build would, but writes nothing: no destination, no work
// file; only the drawing, of the plan, when asked.
void CheckBuild(EditTable& t, const char* drawing) {
  CheckConversionsCanBeMade(t);
  CheckBuildFile(t, CheckWorkFileCouldBeMade);
  for (int32_t k = 0; k < t.entry_count; ++k) {
    CheckEdit(t, t.write_order[k]);
    EndIfWarned();
  }
  if (drawing != nullptr) WriteDrawingFile(t, drawing, nullptr);
  ReportBuilt(t, "Planned");
  FlushReportOrDie();
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

// Reports whether the plan or the drawing goes to standard output, which the
// report then leaves.
bool WritesToStandardOutput(const RunOptions& options) {
  const auto to_output = [](const char* path) {
    return path != nullptr && std::strcmp(path, kStandardOutputName) == 0;
  };
  return to_output(options.plan) || to_output(options.drawing);
}

// Runs one task file to the end: parsing, planning and the build, with the
// report. Returns 0; every failure ends the process inside.
int RunTaskFile(const char* task_path, const RunOptions& options) {
  static EditTable table;
  SetDefaults(table);
  InstallCleanup();
  std::atexit(ReportHiddenDiagnostics);
  if (options.strict) MakeWarningsErrors();
  if (WritesToStandardOutput(options)) MoveReportToStandardError();
  TakeTaskPath(table, task_path);
  ReadTaskFile(table.entry_count, table.source_path, table.destination_path, table.xin,
               table.xout, table.ins, table.trim, table.append, table.task_path,
               table.time_unit, table.xf_type, table.width_ms, table.level_db);
  ReadTaskLines(table.source_line, &table.destination_line);
  ReadTaskFormat(&table.format);
  std::printf("\nRead %i entries in task file\n\n", table.entry_count);
  CheckTaskComplete(table);
  EndIfWarned();
  PlanEdits(table);
  EndIfWarned();
  if (options.plan != nullptr) CheckOutputPath(table, options.plan, "--plan");
  if (options.drawing != nullptr) CheckOutputPath(table, options.drawing, "--draw");
  if (options.plan != nullptr) WritePlanFile(table, options.plan);
  if (options.check) {
    CheckBuild(table, options.drawing);
  } else {
    BuildDestination(table, options.drawing);
  }
  return 0;
}

// Runs one of several task files in a process of its own, exactly as a run
// of that task file alone, and returns its status: 128 + the signal for one
// that a signal ended, and 2 for one that could not be started.
int RunTaskFileApart(const char* task_path, const RunOptions& options) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child == 0) std::exit(RunTaskFile(task_path, options));
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    std::fprintf(stderr, "splyce: error: the run of %s could not be started: %s\n",
                 Quote(task_path).text, std::strerror(errno));
    return kFileStatus;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kSignalStatusBase + WTERMSIG(status);
}

// Takes the options before the task files, from argv[*first] on, and
// leaves *first at the first task file. Returns false, having said why, for
// an option that lacks its file or a plan and a drawing to one file.
bool TakeOptions(int argc, char** argv, int* first, RunOptions* options) {
  for (; *first < argc; ++*first) {
    const char* option = argv[*first];
    const char** file = std::strcmp(option, "--plan") == 0   ? &options->plan
                        : std::strcmp(option, "--draw") == 0 ? &options->drawing
                                                             : nullptr;
    if (std::strcmp(option, "--strict") == 0) {
      options->strict = true;
    } else if (std::strcmp(option, "--check") == 0) {
      options->check = true;
    } else if (file == nullptr) {
      break;
    } else if (*first + 1 >= argc) {
      std::printf("Option %s takes a file name\n", option);
      return false;
    } else {
      *file = argv[++*first];
    }
  }
  const bool one_file = options->plan != nullptr && options->drawing != nullptr &&
                        std::strcmp(options->plan, options->drawing) == 0;
  if (!one_file) return true;
  std::printf(std::strcmp(options->plan, kStandardOutputName) == 0
                  ? "Options --plan and --draw cannot both write to standard output\n"
                  : "Options --plan and --draw cannot write to one file\n");
  return false;
}

}  // namespace

void SetDefaults(EditTable& t) {
  std::memset(&t, 0, sizeof t);
  std::strcpy(t.task_path, kDefaultTaskPath);
  std::strcpy(t.clip_path, kWorkFileName);
  t.time_unit = kSeconds;
  for (int32_t j = 0; j < kMaxEntries; ++j) {
    t.append[j] = 1;
    t.width_ms[j] = kDefaultWidthMs;
    t.width_frames[j] = kDefaultWidthFrames;
  }
}

void BuildDestination(EditTable& t, const char* drawing) {
  // What an earlier build in this process left held goes first.
  CloseClipFiles(t);
  CloseConversions();
  PrepareConversions(t);
  CreateBuildFile(t, CheckWorkFileCanBeMade);
  MAKE_HEADER(t.build_path, t.out_rate, uint32_t(t.out_bits), t.total_frames,
              uint32_t(t.out_channels), DestinationWave(t));
  // The T frames start as silence: the file grows over them without a write.
  PAD_FILE(t.build_path, 0, t.out_bytes_per_sample, t.out_channels, t.total_frames);
  for (int32_t k = 0; k < t.entry_count; ++k) {
    WriteEdit(t, t.write_order[k]);
    EndIfWarned();
  }
  CloseConversions();
  CloseClipFiles(t);
  KeepDestinationAttributes(t);
  EndIfWarned();
  if (drawing != nullptr) WriteDrawingFile(t, drawing, t.build_path);
  ReportBuilt(t, "Built");
  ReplaceDestination(t);
}

int RunSplyce(int argc, char** argv) {
  if (argc > 1) {
    const int answered = AnswerRequest(argv[1]);
    if (answered != kNoRequest) return answered;
  }
  RunOptions options = {};
  int first = 1;
  if (!TakeOptions(argc, argv, &first, &options)) return kUsageStatus;
  if (first >= argc - 1) {
    return RunTaskFile(first < argc ? argv[first] : kDefaultTaskPath, options);
  }
  if (options.plan != nullptr || options.drawing != nullptr) {
    std::printf("Options --plan and --draw take one task file\n");
    return kUsageStatus;
  }
  int highest = 0;
  for (int k = first; k < argc; ++k)
    highest = std::max(highest, RunTaskFileApart(argv[k], options));
  return highest;
}
