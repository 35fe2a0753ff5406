// Fuzz target: a whole run over a fuzzed source. The first input byte picks
// one of the fixed task files below; the rest is the source "src.wav". The run
// parses the task, plans it (PlanEdits) and builds the destination
// (BuildDestination) in a scratch directory, as RunSplyce does.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/edit_table.h"
#include "app/planning.h"
#include "app/run.h"
#include "app/task_file.h"
#include "fuzz_support.h"
#include "wav/wav_file.h"

namespace {

constexpr char kSourceName[] = "src.wav";
constexpr char kOtherName[] = "ref.wav";
constexpr char kDestinationName[] = "out.wav";
constexpr char kClipName[] = "xfade_temp.wav";
// Runs that would write more than this are planned but not built, so that a
// fuzzed sample rate cannot make every run write megabytes (bytes).
constexpr int64_t kMaxBuildBytes = 1 << 20;

// The task files, in frames and in seconds, with levels, trims, overlaps and
// every crossfade curve; the last two also read a second, well-formed source.
const char* const kTasks[] = {
    "using_samples\ndest\tout.wav\nsrc\tsrc.wav\n",
    "using_samples\ndest\tout.wav\nsrc\tsrc.wav\nxout\t300\nlvl\t-6\n"
    "src\tsrc.wav\nxin\t40\nins\t200\nxf\t2\t1\nlvl\t3.5\n"
    "src\tsrc.wav\nxin\t5\ntrim\t-3\nxf\t1\t2\n"
    "src\tsrc.wav\nins\t10\nxf\t0\t3\nsrc\tsrc.wav\nxin\t1\nxout\t9\nxf\t-1\t4\n",
    ("dest\tout.wav\nsrc\tsrc.wav\nxout\t0.01\nsrc\tsrc.wav\nxin\t0.001\nins\t0.005\nlvl\t-20\n"
     "xf\t3\t1\nsrc\tsrc.wav\ntrim\t0.5\nxf\t1\t4\n"),
    "using_samples\ndest\tout.wav\nsrc\tref.wav\nsrc\tsrc.wav\nins\t4\nxf\t1\t3\nsrc\tref.wav\n",
    // Converted to the format line's rate, 24 bits and stereo, with a level
    // and a crossfade after the conversion.
    "using_samples\ndest\tout.wav\nformat\t11025\t24\t2\nsrc\tref.wav\nsrc\tsrc.wav\nxin\t3\n"
    "lvl\t-2\nxf\t1\t1\nsrc\tsrc.wav\nins\t2\nxout\t20\n",
};
constexpr int kTaskCount = int(sizeof kTasks / sizeof kTasks[0]);

// 16-bit stereo at 8000 Hz, 4 frames: the second source of the last task.
const uint8_t kOtherSource[] = {
    'R', 'I', 'F', 'F', 52, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
    1, 0, 2, 0, 0x40, 0x1F, 0, 0, 0, 0x7D, 0, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 16, 0, 0, 0,
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

EditTable g_table;
char g_task_names[kTaskCount][16];
int g_task = 0;
bool g_built = false;

// True when building the planned table stays within kMaxBuildBytes.
bool SmallEnoughToBuild(const EditTable& t) {
  const int64_t align = int64_t(t.out_channels) * t.out_bytes_per_sample;
  if (int64_t(t.total_frames) * align > kMaxBuildBytes) return false;
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (t.xf_type[j] != 0 && int64_t(t.width_frames[j]) * align > kMaxBuildBytes) return false;
  }
  return true;
}

void Run(void*) {
  EditTable& t = g_table;
  SetDefaults(t);
  ReadTaskFile(t.entry_count, t.source_path, t.destination_path, t.xin, t.xout, t.ins, t.trim,
               t.append, g_task_names[g_task], t.time_unit, t.xf_type, t.width_ms, t.level_db);
  ReadTaskFormat(&t.format);
  PlanEdits(t);
  if (!SmallEnoughToBuild(t)) return;
  BuildDestination(t);
  g_built = true;
}

// A built destination holds exactly its header and T frames, and
// LocateAudio finds its format and its T frames of audio where the header
// put them, whatever its rate field spells.
void CheckBuilt(const EditTable& t) {
  struct stat info;
  if (stat(kDestinationName, &info) != 0) fuzz::Broken("no destination after a build");
  const int64_t align = int64_t(t.out_channels) * t.out_bytes_per_sample;
  const int64_t header = HeaderBytes(uint32_t(t.out_bits), t.total_frames, uint32_t(t.out_channels),
                                     DestinationWave(t));
  if (info.st_size != header + int64_t(t.total_frames) * align) {
    fuzz::Broken("destination not exactly its header and T frames");
  }
  FILE* file = std::fopen(kDestinationName, "rb");
  if (file == nullptr) fuzz::Broken("cannot open the destination");
  const AudioSpan span = LocateAudio(file);
  std::fclose(file);
  const int64_t audio_end = info.st_size;
  if (!span.has_format || span.format_at != 12 || !span.has_data ||
      span.data_start != header || span.audio_end != audio_end) {
    fuzz::Broken("destination's format or audio not where its header put them");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::SilenceStandardOutput();
  fuzz::EnterScratchDirectory("splyce-fuzz-run", argc, argv);
  for (int k = 0; k < kTaskCount; ++k) {
    std::snprintf(g_task_names[k], sizeof g_task_names[k], "task%d.txt", k);
    fuzz::WriteWholeFile(g_task_names[k], reinterpret_cast<const uint8_t*>(kTasks[k]),
                         std::strlen(kTasks[k]));
  }
  fuzz::WriteWholeFile(kOtherName, kOtherSource, sizeof kOtherSource);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  g_task = data[0] % kTaskCount;
  fuzz::WriteWholeFile(kSourceName, data + 1, size - 1);
  g_built = false;
  fuzz::RunCatchingExit(Run, nullptr);
  if (g_built) CheckBuilt(g_table);
  fuzz::RemoveStartingWith(kDestinationName);  // out.wav and unfinished out.wav.PID-N
  fuzz::RemoveStartingWith(kClipName);         // failed clips, by any name
  return 0;
}
