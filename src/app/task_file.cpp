#include "app/task_file.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diagnostics.h"
#include "base/fatal.h"
#include "base/files.h"
#include "dsp/pcm_codec.h"

namespace {

// Status of every task-file fault.
constexpr int kTaskFault = 1;
// Crossfade types the language knows; 0 means no crossfade.
constexpr long kMaxCrossfadeType = 4;

// The keyword read only as the first token.
constexpr char kUsingSamples[] = "using_samples";
// The keywords: first the nine keyword tests, in the order they run on
// every token, then the one read only as the first token.
constexpr const char* kKeywords[] = {"src", "xin", "xout", "ins",    "trim",
                                     "lvl", "xf",  "dest", "format", kUsingSamples};
constexpr int32_t kKeywordTests = 9;
// What a UTF-8 byte-order mark is in bytes, and a UTF-16 one in either byte
// order (UTF-16 text holds zero bytes, which refuse it; a mark alone does
// not).
constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr int32_t kUtf8MarkBytes = 3;
constexpr char kUtf16LittleMark[] = "\xFF\xFE";
constexpr char kUtf16BigMark[] = "\xFE\xFF";
constexpr size_t kUtf16MarkBytes = 2;
// Room for the hint that says what an unrecognised token seems meant to be.
constexpr int32_t kHintBytes = 160;
// A timecode has at most hours, minutes and seconds; minutes and seconds
// under a larger unit stay below sixty; hours stay below a limit that keeps
// every sum exact; room for the timecode written as seconds, whatever its
// fraction (bytes).
constexpr int32_t kTimecodeParts = 3;
constexpr int64_t kSixty = 60;
constexpr int64_t kMaxTimecodeHours = 1000000000;
constexpr int32_t kTimecodeBytes = kTaskBufferBytes + 32;

// The task text. Each token's delimiter becomes a zero byte as the token is
// taken, so that every token is a C string; `at` is the position of the next
// unread byte. Lines count line feeds from 1, as an editor does.
struct TaskText {
  char bytes[kTaskBufferBytes + 1];
  int32_t length;
  int32_t at;
  const char* path;   // the task file, as diagnostics name it
  int32_t line;       // line of the token taken last
  int32_t next_line;  // line at `at`
  // The keyword token that the last round of tests left unread (not
  // recognised), or nullptr: its own value then follows.
  const char* orphaning;
  // A keyword met where a value was due, given back to be read as the next
  // token, and its line; nullptr when there is none.
  const char* given_back;
  int32_t given_back_line;
  bool in_frames;  // using_samples: times are frames, and no timecode is read
};

// The line of each accepted src and of the dest kept, for diagnostics.
int32_t g_source_lines[kMaxEntries];
int32_t g_destination_line = 0;
// The last format line.
FormatLine g_format = {};
// The sample formats a format line may name: its bits and encoding.
struct SampleFormatName {
  const char* name;
  int32_t bits;
  int32_t encoding;
};
constexpr SampleFormatName kSampleFormatNames[] = {{"16", 16, kEncodingInteger},
                                                   {"24", 24, kEncodingInteger},
                                                   {"32", 32, kEncodingInteger},
                                                   {"32f", 32, kEncodingFloat},
                                                   {"64f", 64, kEncodingFloat}};

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

// Refuses a task text that holds a zero byte: no plain text does, and
// whatever followed it would otherwise go unread without a word.
void RefuseZeroByte(const TaskText& text) {
  const char* zero = static_cast<const char*>(std::memchr(text.bytes, 0, size_t(text.length)));
  if (zero == nullptr) return;
  int32_t line = 1;
  for (const char* c = text.bytes; c < zero; ++c) line += *c == '\n';
  const bool utf16 = std::strncmp(text.bytes, kUtf16LittleMark, kUtf16MarkBytes) == 0 ||
                     std::strncmp(text.bytes, kUtf16BigMark, kUtf16MarkBytes) == 0;
  ErrorAtLine(text.path, line, utf16 ? "the file is UTF-16 text, in which no keyword can be "
                                       "read: save it as UTF-8 without a byte-order mark"
                                     : "a zero byte, which no plain text holds: save the file "
                                       "as plain text");
  Fatal(kTaskFault, "Task file %s holds a zero byte at line %i\n", text.path, line);
}

// Reads the whole task file into `text`, or ends the process.
void LoadTaskText(const char* task_path, TaskText& text) {
  FILE* file = OpenWithoutWaiting(task_path, "rb");  // a FIFO is refused below, not waited on
  if (file == nullptr && std::strncmp(task_path, "--", 2) == 0) {
    Error(
        "%s is no option, and no task file of that name exists: the options are --strict, "
        "--check, --plan FILE, --draw FILE, --help and --version, before the task files",
        Quote(task_path).text);
  }
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
  text.length = int32_t(got);
  text.at = 0;
  text.path = task_path;
  text.line = 1;
  text.next_line = 1;
  text.orphaning = nullptr;
  text.given_back = nullptr;
  text.in_frames = false;
  RefuseZeroByte(text);
}

bool IsDelimiter(char c) { return c == '\t' || c == '\n'; }

// Returns the next token, or nullptr at the end of the text.
const char* NextToken(TaskText& text) {
  if (text.given_back != nullptr) {
    const char* token = text.given_back;
    text.line = text.given_back_line;
    text.given_back = nullptr;
    return token;
  }
  while (text.at < text.length && IsDelimiter(text.bytes[text.at])) {
    if (text.bytes[text.at] == '\n') ++text.next_line;
    ++text.at;
  }
  if (text.at >= text.length) return nullptr;
  const char* token = text.bytes + text.at;
  text.line = text.next_line;
  while (text.at < text.length && !IsDelimiter(text.bytes[text.at])) ++text.at;
  if (text.at < text.length) {
    if (text.bytes[text.at] == '\n') ++text.next_line;
    text.bytes[text.at++] = '\0';
  }
  return token;
}

bool Is(const char* token, const char* keyword) { return std::strcmp(token, keyword) == 0; }

// Returns the place of `token` among the keyword tests, or -1.
int32_t TestIndex(const char* token) {
  for (int32_t i = 0; i < kKeywordTests; ++i) {
    if (Is(token, kKeywords[i])) return i;
  }
  return -1;
}

bool IsKeyword(const char* token) { return TestIndex(token) >= 0 || Is(token, kUsingSamples); }

// Warns once when lines end in a carriage return and a line feed: the
// carriage return then stays part of each line's last token.
void CheckLineEnds(const TaskText& text) {
  int32_t line = 1;
  for (int32_t i = 0; i < text.length; ++i) {
    const char* b = text.bytes;
    if (b[i] == '\r' && (i + 1 == text.length || b[i + 1] == '\n')) {
      int32_t start = i;
      while (start > 0 && !IsDelimiter(b[start - 1])) --start;
      WarnAtLine(kCarriageReturns, text.path, line,
                 "lines end in a carriage return and a line feed (Windows), and the carriage "
                 "return stays part of each line's last value, as in %s: save the file with "
                 "line feeds (LF) alone",
                 QuoteBytes(b + start, i + 1 - start).text);
      return;
    }
    if (b[i] == '\n') ++line;
  }
}

// Warns when a number token holds more than its leading number, or none;
// a trailing carriage return has its own warning, a keyword too.
void CheckNumberEnd(const TaskText& text, const char* keyword, const char* role,
                    const char* token, const char* end, double value) {
  if (IsKeyword(token) || Is(end, "") || Is(end, "\r")) return;
  if (end == token) {
    WarnAtLine(kPartialNumber, text.path, text.line,
               "%s %s %s is not a number and is read as 0: write a number", keyword, role,
               Quote(token).text);
    return;
  }
  const char* hint = "write the number alone";
  if (end[0] == ',') hint = "write decimals with a point";
  const bool time = Is(keyword, "xin") || Is(keyword, "xout") || Is(keyword, "trim") ||
                    Is(keyword, "ins");
  if (end[0] == ':' && time) {
    hint = text.in_frames ? "write a time as one number of frames after using_samples"
                          : "write a time as seconds, or as m:s or h:m:s with minutes and "
                            "seconds below 60";
  }
  WarnAtLine(kPartialNumber, text.path, text.line, "%s %s %s is read as %g and %s is ignored: %s",
             keyword, role, Quote(token).text, value, Quote(end).text, hint);
}

// Warns when strtod reads a number that is not written in decimal: a
// hexadecimal one, an infinity or a not-a-number, saying what it took.
void CheckDecimal(const TaskText& text, const char* keyword, const char* role,
                  const char* token, double value) {
  const char* digits = token;
  while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  const bool hexadecimal = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  const bool named = strncasecmp(digits, "inf", 3) == 0 || strncasecmp(digits, "nan", 3) == 0;
  if (!hexadecimal && !named) return;
  WarnAtLine(kNotDecimal, text.path, text.line,
             "%s %s %s is %s and is read as %g: write a decimal number", keyword, role,
             Quote(token).text, hexadecimal ? "hexadecimal" : "no decimal number", value);
}

// Reads the digits at `at` as a whole number below `limit` into `value`;
// returns the byte after them, or nullptr when there are none or too many.
const char* ReadWhole(const char* at, int64_t limit, int64_t* value) {
  *value = 0;
  const char* start = at;
  for (; *at >= '0' && *at <= '9'; ++at) {
    *value = *value * 10 + (*at - '0');
    if (*value >= limit) return nullptr;
  }
  return at == start ? nullptr : at;
}

// Reads a time written as a timecode, [[h:]m:]s[.fraction] with minutes and
// seconds below 60 under a larger unit and an optional sign, that fills the
// token (a carriage return may follow). Sets `seconds` to the time as the
// decimal number of seconds would read, so that it converts to the same frame.
bool ReadTimecode(const char* token, double* seconds) {
  const char* at = token;
  const char* sign = (*at == '-' || *at == '+') ? at++ : "";
  int64_t parts[kTimecodeParts] = {};
  int32_t count = 0;
  for (; count < kTimecodeParts; ++count) {
    const int64_t limit = count == 0 ? kMaxTimecodeHours : kSixty;
    at = ReadWhole(at, limit, &parts[count]);
    if (at == nullptr) return false;
    if (*at != ':') break;
    ++at;
  }
  if (count == 0 || count == kTimecodeParts) return false;  // no ':', or too many
  int64_t whole = 0;
  for (int32_t k = 0; k <= count; ++k) whole = whole * kSixty + parts[k];
  const char* fraction = at;
  if (*at == '.') {
    for (++at; *at >= '0' && *at <= '9'; ++at) {
    }
  }
  if (!Is(at, "") && !Is(at, "\r")) return false;
  static char decimal[kTimecodeBytes];
  std::snprintf(decimal, sizeof decimal, "%s%lld%.*s", *sign == '-' ? "-" : "",
                static_cast<long long>(whole), int(at - fraction), fraction);
  *seconds = std::strtod(decimal, nullptr);
  return true;
}

// Reads a value token's leading number as strtod does: 0.0 when it has none.
// In a task in seconds a time (`time` set) may be written as a timecode.
double ReadNumber(const TaskText& text, const char* keyword, const char* role,
                  const char* token, bool time = false) {
  double value = 0.0;
  if (time && !text.in_frames && ReadTimecode(token, &value)) return value;
  char* end = nullptr;
  value = std::strtod(token, &end);
  CheckNumberEnd(text, keyword, role, token, end, value);
  // A level that is not a number or infinite has its own warning.
  const bool level_ignored = Is(keyword, "lvl") && (std::isnan(value) || value > 0.0) &&
                             std::isinf(value) == (value > 0.0);
  if (end != token && !level_ignored) CheckDecimal(text, keyword, role, token, value);
  return value;
}

// Takes the value token of `keyword`. When the text ends first, or the next
// token is a keyword, the value is missing: that is said, the keyword is
// given back to be read as one, and nullptr returned.
const char* TakeValue(TaskText& text, const char* keyword, const char* role) {
  const int32_t line = text.line;
  const char* value = NextToken(text);
  if (value == nullptr) {
    WarnAtLine(kMissingValue, text.path, line,
               "%s ends the file without its %s, so it is ignored: give %s its %s after a tab",
               keyword, role, keyword, role);
    return nullptr;
  }
  if (!IsKeyword(value)) return value;
  WarnAtLine(kKeywordAsValue, text.path, line,
             "%s has no %s: the next token, %s on line %i, is a keyword and is read as one: "
             "give %s its %s after a tab",
             keyword, role, value, text.line, keyword, role);
  text.given_back = value;
  text.given_back_line = text.line;
  return nullptr;
}

// Writes into `hint` what an unrecognised token seems to be meant as.
// Returns whether it looks like a keyword written wrongly.
bool DescribeUnknown(const char* token, char* hint) {
  for (const char* keyword : kKeywords) {
    const size_t length = std::strlen(keyword);
    const char* after = token + length;
    if (std::strncmp(token, keyword, length) == 0 && after[0] == ' ') {
      std::snprintf(hint, kHintBytes, "a keyword and its value need a tab between them, not "
                    "spaces: write %s, a tab and the value", keyword);
      return true;
    }
    if (std::strncmp(token, keyword, length) == 0 && Is(after, "\r")) {
      std::snprintf(hint, kHintBytes, "it is %s with a carriage return after it: save the "
                    "file with line feeds (LF) alone", keyword);
      return true;
    }
    if (strncasecmp(token, keyword, length) == 0 && (after[0] == '\0' || after[0] == ' ')) {
      std::snprintf(hint, kHintBytes, "keywords are lower case: write %s", keyword);
      return true;
    }
  }
  std::snprintf(hint, kHintBytes,
                "it is neither a keyword (src, dest, xin, xout, ins, trim, "
                "lvl, xf, format) nor the value of one");
  return false;
}

// Explains a token that no keyword test matched; `first` is whether it is
// the first token of the text. A token that looks like a keyword but is not
// read as one leaves its value to be skipped next, which is then said so.
void ReportUnmatched(TaskText& text, const char* token, bool first) {
  const char* orphaning = text.orphaning;
  text.orphaning = nullptr;
  if (TestIndex(token) >= 0 || (first && Is(token, kUsingSamples))) return;
  char hint[kHintBytes];
  if (Is(token, kUsingSamples)) {
    WarnAtLine(kLateUsingSamples, text.path, text.line,
               "using_samples counts only as the first token of the file, so it is skipped "
               "here and times stay in seconds: move it to the first line");
  } else if (first && std::strncmp(token, kUtf8Mark, kUtf8MarkBytes) == 0) {
    WarnAtLine(kByteOrderMark, text.path, text.line,
               "the file starts with a UTF-8 byte-order mark, so its first token %s is not "
               "recognised: save the file as UTF-8 without a byte-order mark",
               Quote(token + kUtf8MarkBytes).text);
    text.orphaning = token;
  } else if (first && (std::strncmp(token, kUtf16LittleMark, kUtf16MarkBytes) == 0 ||
                        std::strncmp(token, kUtf16BigMark, kUtf16MarkBytes) == 0)) {
    WarnAtLine(kByteOrderMark, text.path, text.line,
               "the file starts with a UTF-16 byte-order mark, and no keyword can be read in "
               "UTF-16 text: save the file as UTF-8 without a byte-order mark");
  } else if (DescribeUnknown(token, hint)) {
    WarnAtLine(kUnknownToken, text.path, text.line, "%s is skipped: %s", Quote(token).text, hint);
    text.orphaning = token;
  } else if (orphaning != nullptr) {
    WarnAtLine(kUnknownToken, text.path, text.line,
               "%s is skipped too: it follows %s, which is not read as a keyword",
               Quote(token).text, Quote(orphaning).text);
  } else {
    WarnAtLine(kUnknownToken, text.path, text.line, "%s is skipped: %s", Quote(token).text, hint);
  }
}

// Reads a crossfade type: base-10 digits, saturated at the int32 limits.
int32_t ReadType(const TaskText& text, const char* token) {
  char* end = nullptr;
  const long value = std::strtol(token, &end, 10);
  CheckNumberEnd(text, "xf", "type", token, end, double(value));
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

// Refuses a value keyword that has no entry to act on.
void RequireEntry(const TaskText& text, const char* keyword, int32_t n) {
  if (n > 0) return;
  ErrorAtLine(text.path, text.line,
              "%s comes before the first src, so it belongs to no edit: move it below the src "
              "line of its edit",
              keyword);
  Fatal(kTaskFault, "Command %s comes before the first src line\n", keyword);
}

// Reports whether a "src" or "dest" path is missing (the text ends, or a
// keyword comes, where it is due) or too short, with the error on the
// keyword's line when it is.
bool PathMissing(const TaskText& text, const char* keyword, int32_t line, const char* path) {
  if (path != nullptr && !IsKeyword(path) && std::strlen(path) >= size_t(kMinPathChars)) {
    return false;
  }
  if (path == nullptr) {
    ErrorAtLine(text.path, line, "%s ends the file without a path: write %s, a tab and the path",
                keyword, keyword);
  } else if (IsKeyword(path)) {
    ErrorAtLine(text.path, line,
                "%s has no path: the next token, %s on line %i, is a keyword: write %s, a tab "
                "and the path",
                keyword, path, text.line, keyword);
  } else {
    ErrorAtLine(text.path, line,
                "%s takes %s as its path, which is shorter than 4 characters: write %s, a tab "
                "and the path",
                keyword, Quote(path).text, keyword);
  }
  return true;
}

// Reports whether a path does not fit its buffer, with the error when so.
bool PathTooLong(const TaskText& text, const char* keyword, const char* path) {
  if (std::strlen(path) <= size_t(kMaxPathChars)) return false;
  ErrorAtLine(text.path, text.line, "%s path %s has %zu characters, more than 127: shorten it",
              keyword, Quote(path).text, std::strlen(path));
  return true;
}

// Opens entry n with the path after "src"; returns the path token.
const char* TakeSource(TaskText& text, int32_t& n, const ParseTarget& target) {
  const int32_t line = text.line;
  const char* path = NextToken(text);
  if (PathMissing(text, "src", line, path)) {
    Fatal(kTaskFault, "Source track %i appears to be too short or missing", n + 1);
  }
  if (n >= kMaxEntries) {
    ErrorAtLine(text.path, line, "this src opens edit 513, but a task holds at most 512 edits: "
                "split the task");
    Fatal(kTaskFault, "Too many source tracks: at most 512\n");
  }
  if (PathTooLong(text, "src", path)) {
    Fatal(kTaskFault, "Source track %i name is too long: at most 127 characters\n", n + 1);
  }
  std::strcpy(target.source_paths[n], path);
  g_source_lines[n] = line;
  ++n;
  return path;
}

// Sets the destination path from the token after "dest".
const char* TakeDestination(TaskText& text, const ParseTarget& target) {
  const int32_t line = text.line;
  const char* path = NextToken(text);
  if (PathMissing(text, "dest", line, path)) {
    Fatal(kTaskFault, "Your destination name appears to be too short or missing\n");
  }
  if (PathTooLong(text, "dest", path)) {
    Fatal(kTaskFault, "Your destination name is too long: at most 127 characters\n");
  }
  g_destination_line = line;
  std::strcpy(target.destination_path, path);
  return path;
}

// Stores a level below the ceiling, rounded to float precision.
void StoreLevel(const TaskText& text, const char* token, double& level_db) {
  const float level = RoundToFloat(ReadNumber(text, "lvl", "value", token));
  if (level < kLevelCeilingDb) {
    level_db = double(level);
    return;
  }
  WarnAtLine(kLevelIgnored, text.path, text.line,
             "lvl %s is ignored, as %s, and the edit keeps %g dB: write a level below 24",
             Quote(token).text, std::isnan(level) ? "it is not a number" : "levels must be below 24 dB",
             level_db);
}

// Reads "xf": a width, then a type. Returns the last token taken.
const char* TakeCrossfade(TaskText& text, int32_t entry, const ParseTarget& target) {
  const char* width = TakeValue(text, "xf", "width");
  if (width == nullptr) return nullptr;
  target.widths_ms[entry] = RoundToFloat(ReadNumber(text, "xf", "width", width));
  const char* type = TakeValue(text, "xf", "type");
  if (type == nullptr) return nullptr;
  const int32_t value = ReadType(text, type);
  if (value >= 0 && value <= kMaxCrossfadeType) {
    target.xf_types[entry] = value;
  } else {
    target.xf_types[entry] = 0;
    std::printf("Crossfade-type (parameter 2) is invalid\n");
    WarnAtLine(kBadCrossfadeType, text.path, text.line,
               "xf type %s is outside 0 to 4, so this edit gets no crossfade: write a type "
               "from 1 to 4, or 0 for none",
               Quote(type).text);
  }
  return type;
}

// Takes the time that follows `keyword` into `field` of the current entry.
// Returns the value token, or nullptr when it is missing.
const char* TakeTime(TaskText& text, const char* keyword, int32_t n, double* field) {
  RequireEntry(text, keyword, n);
  const char* value = TakeValue(text, keyword, "value");
  if (value != nullptr) field[n - 1] = ReadNumber(text, keyword, "value", value, true);
  return value;
}

// Reads the whole number of `token`, from 1 to `limit`; false when the token
// is anything else.
bool ReadCount(const char* token, int64_t limit, int32_t* value) {
  int64_t whole = 0;
  if (token == nullptr || *token == '\0') return false;
  for (const char* c = token; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    whole = whole * 10 + (*c - '0');
    if (whole > limit) return false;
  }
  *value = int32_t(whole);
  return whole >= 1;
}

// What a format line must hold, as its refusals tell it.
constexpr char kFormatHint[] =
    "write format, a tab, the rate in Hz, a tab, 16, 24, 32, 32f or 64f, a tab and 1 to 32 "
    "channels";

// Refuses a format line whose `value` (the token in its place, or null at
// the end of the file) is not what `role` must be.
[[noreturn]] void RefuseFormat(const TaskText& text, int32_t line, const char* value,
                               const char* role) {
  if (value == nullptr) {
    ErrorAtLine(text.path, line, "format has no %s, as the file ends: %s", role, kFormatHint);
  } else if (IsKeyword(value)) {
    ErrorAtLine(text.path, line,
                "format has no %s: the next token, %s on line %i, is a keyword: %s", role, value,
                text.line, kFormatHint);
  } else {
    ErrorAtLine(text.path, line, "format takes %s as its %s, which must be %s: %s",
                Quote(value).text, role,
                Is(role, "rate")            ? "a whole number of Hz"
                : Is(role, "sample format") ? "16, 24, 32, 32f or 64f"
                                            : "1 to 32",
                kFormatHint);
  }
  Fatal(kTaskFault, "Destination format set incorrectly: %s\n", value != nullptr ? value : "");
}

// Reads "format": a rate, a sample format and a channel count, refusing the
// task when any is missing or wrong.
void TakeFormat(TaskText& text) {
  const int32_t line = text.line;
  FormatLine format = {true, line, 0, 0, 0, 0};
  const char* rate = NextToken(text);
  if (!ReadCount(rate, INT32_MAX, &format.rate)) RefuseFormat(text, line, rate, "rate");
  const char* samples = NextToken(text);
  const SampleFormatName* found = nullptr;
  for (const SampleFormatName& f : kSampleFormatNames) {
    if (samples != nullptr && Is(samples, f.name)) found = &f;
  }
  if (found == nullptr) RefuseFormat(text, line, samples, "sample format");
  format.bits = found->bits;
  format.encoding = found->encoding;
  const char* channels = NextToken(text);
  if (!ReadCount(channels, kMaxChannels, &format.channels)) {
    RefuseFormat(text, line, channels, "channel count");
  }
  g_format = format;
}

// Runs the nine keyword tests on token t in order; a test that takes values
// leaves t on its last value token. A value is never a keyword, so no value
// token matches a later test; a keyword met where a value was due ends the
// round and is read as the next token.
void RunKeywordTests(TaskText& text, const char* t, int32_t& n, const ParseTarget& target) {
  if (Is(t, "src")) t = TakeSource(text, n, target);
  if (t != nullptr && Is(t, "xin")) t = TakeTime(text, "xin", n, target.xin);
  if (t != nullptr && Is(t, "xout")) t = TakeTime(text, "xout", n, target.xout);
  if (t != nullptr && Is(t, "ins")) {
    RequireEntry(text, "ins", n);
    t = TakeValue(text, "ins", "value");
    if (t != nullptr && Is(t, "app")) {
      target.append[n - 1] = 1;
    } else if (t != nullptr) {
      target.ins[n - 1] = ReadNumber(text, "ins", "value", t, true);
      target.append[n - 1] = 0;
    }
  }
  if (t != nullptr && Is(t, "trim")) t = TakeTime(text, "trim", n, target.trim);
  if (t != nullptr && Is(t, "lvl")) {
    RequireEntry(text, "lvl", n);
    t = TakeValue(text, "lvl", "value");
    if (t != nullptr) StoreLevel(text, t, target.levels_db[n - 1]);
  }
  if (t != nullptr && Is(t, "xf")) {
    RequireEntry(text, "xf", n);
    t = TakeCrossfade(text, n - 1, target);
  }
  if (t != nullptr && Is(t, "dest")) t = TakeDestination(text, target);
  if (t != nullptr && Is(t, "format")) TakeFormat(text);
}

}  // namespace

void ReadTaskFile(int32_t& entry_count, char (*source_paths)[kPathBytes],
                  char* destination_path, double* xin, double* xout, double* ins,
                  double* trim, int32_t* append, const char* task_path,
                  int32_t& time_unit, int32_t* xf_types, float* widths_ms,
                  double* levels_db) {
  static TaskText text;
  g_destination_line = 0;
  g_format = {};
  LoadTaskText(task_path, text);
  CheckLineEnds(text);
  const ParseTarget target{source_paths, destination_path, xin,      xout,      ins,
                           trim,         append,           xf_types, widths_ms, levels_db};
  int32_t n = 0;
  const char* token = NextToken(text);
  if (token != nullptr && Is(token, kUsingSamples)) {
    time_unit = kFrames;
    text.in_frames = true;
    std::printf("Reading time values as samples.\n");
  }
  for (bool first = true; token != nullptr; first = false) {
    ReportUnmatched(text, token, first);
    RunKeywordTests(text, token, n, target);
    token = NextToken(text);
  }
  entry_count = n;
}

void ReadTaskFormat(FormatLine* format) { *format = g_format; }

void ReadTaskLines(int32_t* source_lines, int32_t* destination_line) {
  std::memcpy(source_lines, g_source_lines, sizeof g_source_lines);
  *destination_line = g_destination_line;
}
