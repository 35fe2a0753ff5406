#include "app/conversion.h"

#include <fcntl.h>
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
#include "wav/converted_source.h"

namespace {

// Status when the scratch file cannot be made.
constexpr int kFileStatus = 2;
// Permission bits of a new file before the umask.
constexpr mode_t kNewFileMode = 0600;
// The name messages give the scratch file; where there are no unnamed files
// it is made in the working directory under a name of the run's own that
// starts with it.
constexpr char kScratchName[] = "convert_temp.wav";
constexpr int32_t kScratchPathBytes = 64;

// The scratch file, open from the first conversion to the end of the run
// (-1 before), each conversion's header emptying it; and its path, the /proc
// path of an unnamed file or its own name.
int g_scratch_fd = -1;
char g_scratch_path[kScratchPathBytes];
bool g_scratch_named = false;

// Creates a file at `path` for the scratch, never through a link, never an
// existing file.
int CreateScratchAt(const char* path) {
  return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
}

// Ends the run, as the scratch file cannot be made (errno says why).
[[noreturn]] void RefuseScratch() {
  Error("%s, the file sources are converted in, cannot be made in the working directory: %s",
        kScratchName, std::strerror(errno));
  Fatal(kFileStatus, "Cannot create file %s\n", kScratchName);
}

// Reports whether the task converts any source.
bool ConvertsAny(const EditTable& t) {
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (t.converted[j]) return true;
  }
  return false;
}

// Holds the scratch file, unless it is held: an unnamed file in the working
// directory, or, where the file system has none, one under a name of the
// run's own. Ends the run when none can be made.
void HoldScratch() {
  if (g_scratch_fd >= 0) return;
  g_scratch_fd = OpenUnnamedFile(".", kNewFileMode, g_scratch_path, sizeof g_scratch_path);
  if (g_scratch_fd < 0 && LacksUnnamedFiles(errno)) {
    g_scratch_fd = MakeOwnNamedFile(kUnfinishedScratch, kScratchName, g_scratch_path,
                                    sizeof g_scratch_path, CreateScratchAt);
    g_scratch_named = g_scratch_fd >= 0;
  }
  if (g_scratch_fd < 0) RefuseScratch();
  UseDescriptorForPath(g_scratch_path, g_scratch_fd);
  ShowPathAs(g_scratch_path, kScratchName);
}

}  // namespace

void PrepareConversions(const EditTable& t) {
  if (ConvertsAny(t)) HoldScratch();
}

void CheckConversionsCanBeMade(const EditTable& t) {
  if (ConvertsAny(t) && !CanMakeFileIn(".")) RefuseScratch();
}

EditSource SourceOfEdit(const EditTable& t, int32_t e, int64_t* clipped) {
  if (!t.converted[e]) return {t.source_path[e], t.read_start[e]};
  HoldScratch();
  const bool crossfaded = t.xf_type[e] != 0 && t.width_frames[e] > 0;
  const int64_t half = crossfaded ? t.width_frames[e] / 2 : 0;
  const int64_t window_after = crossfaded ? t.width_frames[e] - half : 0;
  const int64_t after =
      std::max({int64_t(t.copy_length[e]) + t.run_on[e], window_after, int64_t(0)});
  const StreamFormat from = {
      t.bytes_per_sample[e], {t.details[e].code, t.details[e].valid_bits}, t.channels[e]};
  const StreamFormat to = {t.out_bytes_per_sample, DestinationSamples(t), t.out_channels};
  const ConvertedStretch stretch = {t.sample_rate[e], t.out_rate, t.read_start[e], half, after};
  *clipped += CONVERT_FILE(g_scratch_path, t.source_path[e], from, to, DestinationWave(t), stretch);
  return {g_scratch_path, int32_t(half)};
}

void CloseConversions() {
  if (g_scratch_fd < 0) return;
  UseDescriptorForPath(g_scratch_path, -1);
  ShowPathAs(g_scratch_path, nullptr);
  close(g_scratch_fd);
  if (g_scratch_named) unlink(g_scratch_path);
  MarkUnfinished(kUnfinishedScratch, nullptr);
  g_scratch_fd = -1;
  g_scratch_named = false;
}
