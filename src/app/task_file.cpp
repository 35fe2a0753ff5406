#include "app/task_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/process.h"

namespace {

// Status of every task-file fault.
constexpr int kTaskFault = 1;
// Crossfade types the language knows; 0 means no crossfade.
constexpr long kMaxCrossfadeType = 4;

// The task text with its delimiters replaced by zero bytes, so that every
// token is a C string; `at` is the position of the next unread byte.
struct TaskText {
  char bytes[kTaskBufferBytes + 1];
  int32_t length;
  int32_t at;
};

// Fields of the table that the parser fills, grouped only for the call.
struct ParseTarget {
  char (*source_paths)[kPathBytes];
  char* destination_path;
  double* xin;
  double* xout;
  double* ins;
  double* trim;
  int32_t* append;
  int32_t* xf_types;
  float* widths_ms;
  double* levels_db;
};

// Reads the whole task file into `text`, or ends the process.
void LoadTaskText(const char* task_path, TaskText& text) {
  FILE* file = OpenWithoutWaiting(task_path, "rb");  // a FIFO is refused below, not waited on
  if (file == nullptr) Fatal(kTaskFault, "Cannot find file %s that holds your instructions\n", task_path);
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fclose(file);
    Fatal(kTaskFault, "Cannot read file %s that holds your instructions\n", task_path);
  }
  if (info.st_size > kTaskBufferBytes) {
    std::fclose(file);
    Fatal(kTaskFault, "Task file %s is larger than 65536 bytes\n", task_path);
  }
  const size_t wanted = size_t(info.st_size);
  const size_t got = std::fread(text.bytes, 1, wanted, file);
  const bool failed = got != wanted || std::ferror(file) != 0;
  std::fclose(file);
  if (failed) Fatal(kTaskFault, "Cannot read file %s that holds your instructions\n", task_path);
  text.bytes[got] = '\0';
  // A zero byte inside the file ends the task text there.
  text.length = int32_t(std::strlen(text.bytes));
  for (int32_t i = 0; i < text.length; ++i) {
    if (text.bytes[i] == '\t' || text.bytes[i] == '\n') text.bytes[i] = '\0';
  }
  text.at = 0;
}

// Returns the next token, or nullptr at the end of the text.
const char* NextToken(TaskText& text) {
  while (text.at < text.length && text.bytes[text.at] == '\0') ++text.at;
  if (text.at >= text.length) return nullptr;
  const char* token = text.bytes + text.at;
  while (text.at < text.length && text.bytes[text.at] != '\0') ++text.at;
  return token;
}

bool Is(const char* token, const char* keyword) { return std::strcmp(token, keyword) == 0; }

// Reads a token's leading number as strtod does: 0.0 when it has none.
double NumberOf(const char* token) { return std::strtod(token, nullptr); }

// Rounds a double to the nearest float; beyond the float range the result
// is the infinity of that sign, as IEEE rounding gives, without relying on
// an out-of-range conversion.
float RoundToFloat(double value) {
  if (std::isnan(value)) return NAN;
  // FLT_MAX plus half its unit in the last place: from there on, rounding
  // to nearest gives infinity.
  const double overflow = double(FLT_MAX) + std::ldexp(1.0, 103);
  if (value >= overflow) return INFINITY;
  if (value <= -overflow) return -INFINITY;
  if (value > double(FLT_MAX)) return FLT_MAX;
  if (value < -double(FLT_MAX)) return -FLT_MAX;
  return float(value);
}

// Reads a crossfade type: base-10 digits, saturated at the int32 limits.
int32_t TypeOf(const char* token) {
  const long value = std::strtol(token, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

// Refuses a value keyword that has no entry to act on.
void RequireEntry(const char* keyword, int32_t n) {
  if (n == 0) Fatal(kTaskFault, "Command %s comes before the first src line\n", keyword);
}

// Opens entry n with the path after "src"; returns the path token.
const char* TakeSource(TaskText& text, int32_t& n, const ParseTarget& target) {
  const char* path = NextToken(text);
  if (path == nullptr || std::strlen(path) < size_t(kMinPathChars)) {
    Fatal(kTaskFault, "Source track %i appears to be too short or missing", n + 1);
  }
  if (n >= kMaxEntries) Fatal(kTaskFault, "Too many source tracks: at most 512\n");
  if (std::strlen(path) > size_t(kMaxPathChars)) {
    Fatal(kTaskFault, "Source track %i name is too long: at most 127 characters\n", n + 1);
  }
  std::strcpy(target.source_paths[n], path);
  ++n;
  return path;
}

// Sets the destination path from the token after "dest".
const char* TakeDestination(TaskText& text, const ParseTarget& target) {
  const char* path = NextToken(text);
  if (path == nullptr || std::strlen(path) < size_t(kMinPathChars)) {
    Fatal(kTaskFault, "Your destination name appears to be too short or missing\n");
  }
  if (std::strlen(path) > size_t(kMaxPathChars)) {
    Fatal(kTaskFault, "Your destination name is too long: at most 127 characters\n");
  }
  std::strcpy(target.destination_path, path);
  return path;
}

// Stores a level below the ceiling, rounded to float precision.
void StoreLevel(const char* token, double& level_db) {
  const float level = RoundToFloat(NumberOf(token));
  if (level < kLevelCeilingDb) level_db = double(level);
}

// Reads "xf": a width, then a type. Returns the last token taken.
const char* TakeCrossfade(TaskText& text, int32_t entry, const ParseTarget& target) {
  const char* width = NextToken(text);
  if (width == nullptr) return nullptr;
  target.widths_ms[entry] = RoundToFloat(NumberOf(width));
  const char* type = NextToken(text);
  if (type == nullptr) return nullptr;
  const int32_t value = TypeOf(type);
  if (value >= 0 && value <= kMaxCrossfadeType) {
    target.xf_types[entry] = value;
  } else {
    target.xf_types[entry] = 0;
    std::printf("Crossfade-type (parameter 2) is invalid\n");
  }
  return type;
}

// Takes the value of a one-number keyword into `field` of the current entry.
// Returns the value token, or nullptr when the text has ended.
const char* TakeNumber(TaskText& text, const char* keyword, int32_t n, double* field) {
  RequireEntry(keyword, n);
  const char* value = NextToken(text);
  if (value != nullptr) field[n - 1] = NumberOf(value);
  return value;
}

// Runs the eight keyword tests on token t in order; a test that takes values
// leaves t on its last value token, so a value that spells a later keyword is
// obeyed as that keyword too. Returns nullptr once the text has ended.
const char* RunKeywordTests(TaskText& text, const char* t, int32_t& n,
                            const ParseTarget& target) {
  if (Is(t, "src")) t = TakeSource(text, n, target);
  if (t != nullptr && Is(t, "xin")) t = TakeNumber(text, "xin", n, target.xin);
  if (t != nullptr && Is(t, "xout")) t = TakeNumber(text, "xout", n, target.xout);
  if (t != nullptr && Is(t, "ins")) {
    RequireEntry("ins", n);
    t = NextToken(text);
    if (t != nullptr && Is(t, "app")) {
      target.append[n - 1] = 1;
    } else if (t != nullptr) {
      target.ins[n - 1] = NumberOf(t);
      target.append[n - 1] = 0;
    }
  }
  if (t != nullptr && Is(t, "trim")) t = TakeNumber(text, "trim", n, target.trim);
  if (t != nullptr && Is(t, "lvl")) {
    RequireEntry("lvl", n);
    t = NextToken(text);
    if (t != nullptr) StoreLevel(t, target.levels_db[n - 1]);
  }
  if (t != nullptr && Is(t, "xf")) {
    RequireEntry("xf", n);
    t = TakeCrossfade(text, n - 1, target);
  }
  if (t != nullptr && Is(t, "dest")) t = TakeDestination(text, target);
  return t;
}

}  // namespace

void ReadTaskFile(int32_t& entry_count, char (*source_paths)[kPathBytes],
                  char* destination_path, double* xin, double* xout, double* ins,
                  double* trim, int32_t* append, const char* task_path,
                  int32_t& time_unit, int32_t* xf_types, float* widths_ms,
                  double* levels_db) {
  static TaskText text;
  LoadTaskText(task_path, text);
  const ParseTarget target{source_paths, destination_path, xin,      xout,      ins,
                           trim,         append,           xf_types, widths_ms, levels_db};
  int32_t n = 0;
  const char* token = NextToken(text);
  if (token != nullptr && Is(token, "using_samples")) {
    time_unit = kFrames;
    std::printf("Reading time values as samples.\n");
  }
  while (token != nullptr) {
    if (RunKeywordTests(text, token, n, target) == nullptr) break;
    token = NextToken(text);
  }
  entry_count = n;
}
