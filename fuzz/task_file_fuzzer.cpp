// Fuzz target: the task-file parser. The input is the whole task file;
// ReadTaskFile parses it into a table holding every default, then the parsed
// table is checked against what the parser promises, and FindOrder runs on it.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "app/edit_table.h"
#include "app/planning.h"
#include "app/run.h"
#include "app/task_file.h"
#include "fuzz_support.h"

namespace {

constexpr char kTaskName[] = "task.txt";

EditTable g_table;

void Parse(void*) {
  EditTable& t = g_table;
  ReadTaskFile(t.entry_count, t.source_path, t.destination_path, t.xin, t.xout, t.ins, t.trim,
               t.append, kTaskName, t.time_unit, t.xf_type, t.width_ms, t.level_db);
}

// A path the parser stored: zero-terminated inside its buffer, at least 4 and
// at most 127 characters.
bool StoredPath(const char* path) {
  const void* end = std::memchr(path, '\0', kPathBytes);
  if (end == nullptr) return false;
  const size_t length = size_t(static_cast<const char*>(end) - path);
  return length >= size_t(kMinPathChars) && length <= size_t(kMaxPathChars);
}

// Checks what a parse that returned must have left in the table.
void CheckParsed(const EditTable& t) {
  if (t.entry_count < 0 || t.entry_count > kMaxEntries) fuzz::Broken("entry count out of range");
  if (t.time_unit != kSeconds && t.time_unit != kFrames) fuzz::Broken("time unit neither value");
  if (t.destination_path[0] != '\0' && !StoredPath(t.destination_path)) {
    fuzz::Broken("destination path not stored whole");
  }
  for (int32_t j = 0; j < kMaxEntries; ++j) {
    if (j < t.entry_count && !StoredPath(t.source_path[j])) fuzz::Broken("source path not stored whole");
    if (t.xf_type[j] < 0 || t.xf_type[j] > 4) fuzz::Broken("crossfade type outside 0 to 4");
    if (std::isnan(t.level_db[j]) || t.level_db[j] >= 24.0) fuzz::Broken("level at or above 24 dB");
    if (t.level_db[j] != double(float(t.level_db[j]))) fuzz::Broken("level not of float precision");
    if (t.append[j] != 0 && t.append[j] != 1) fuzz::Broken("append flag neither value");
    if (t.width_frames[j] != kDefaultWidthFrames) fuzz::Broken("parser wrote the width in frames");
  }
}

// Orders the parsed entries; every position gets an entry index, and when
// the insert points allow it the order holds each index exactly once.
void CheckOrder(const EditTable& t) {
  const int32_t n = t.entry_count;
  if (n < 1) return;
  int32_t order[kMaxEntries + 1];
  order[n] = -7;  // a write past position n - 1 would change it
  for (int32_t p = 0; p < n; ++p) order[p] = -1;
  FindOrder(n, t.ins, order, t.append);
  if (order[n] != -7) fuzz::Broken("FindOrder wrote past the entry count");
  bool seen[kMaxEntries] = {};
  bool permutation = true;
  double largest = 0.0;
  bool finite = true;
  for (int32_t j = 0; j < n; ++j) {
    finite = finite && std::isfinite(t.ins[j]);
    if (t.ins[j] > largest) largest = t.ins[j];
  }
  for (int32_t p = 0; p < n; ++p) {
    if (order[p] < 0 || order[p] >= n) fuzz::Broken("FindOrder left a position without an entry");
    permutation = permutation && !seen[order[p]];
    seen[order[p]] = true;
  }
  if (finite && largest + 1.0 > largest && !permutation) fuzz::Broken("FindOrder repeated an entry");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::SilenceStandardOutput();
  fuzz::EnterScratchDirectory("splyce-fuzz-task", argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WriteWholeFile(kTaskName, data, size);
  SetDefaults(g_table);
  if (fuzz::RunCatchingExit(Parse, nullptr) != fuzz::kReturned) return 0;
  CheckParsed(g_table);
  CheckOrder(g_table);
  return 0;
}
