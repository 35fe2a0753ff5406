// Explanations for people, on standard error: where a task file or a source
// goes wrong and what the run made of it. Standard output stays the report.
#ifndef SPLYCE_BASE_DIAGNOSTICS_H
#define SPLYCE_BASE_DIAGNOSTICS_H

#include <cstdint>

// Kinds of diagnostic, each with what it is about (for the count of those
// not shown). Each kind is shown a few times per run; the rest are only
// counted, so one systematic mistake in a long task stays readable.
#define SPLYCE_DIAGNOSTIC_KINDS(KIND)                \
  KIND(kUnknownToken, "unrecognised token")          \
  KIND(kKeywordAsValue, "keyword taken as a value")  \
  KIND(kCarriageReturns, "carriage return")          \
  KIND(kByteOrderMark, "byte-order mark")            \
  KIND(kPartialNumber, "number read in part")        \
  KIND(kNotDecimal, "number not decimal")            \
  KIND(kLevelIgnored, "level ignored")               \
  KIND(kLateUsingSamples, "late using_samples")      \
  KIND(kMissingValue, "missing value")               \
  KIND(kBadCrossfadeType, "crossfade type")          \
  KIND(kTaskFileError, "task file error")            \
  KIND(kReadCut, "read cut at the source's end")     \
  KIND(kTrimWholeSeconds, "trim in whole seconds")   \
  KIND(kLevelClipped, "level clipped")               \
  KIND(kMixClipped, "crossfade mix clipped")         \
  KIND(kFloatPastFullScale, "float past full scale") \
  KIND(kCrossfadeSkipped, "crossfade skipped")       \
  KIND(kRunOnMissing, "run-on missing")              \
  KIND(kNoFolderLock, "folder without a lock")       \
  KIND(kConversionClipped, "conversion clipped")     \
  KIND(kFileError, "file error")

#define SPLYCE_KIND_ENUM(name, text) name,
enum DiagnosticKind : int32_t { SPLYCE_DIAGNOSTIC_KINDS(SPLYCE_KIND_ENUM) kDiagnosticKinds };
#undef SPLYCE_KIND_ENUM

// Returns what diagnostics of `kind` are about.
const char* DiagnosticKindName(DiagnosticKind kind);

// Lines shown of each kind before the rest are only counted.
constexpr int32_t kShownPerKind = 5;
// Longest token or byte run quoted in a diagnostic (characters).
constexpr int32_t kQuotedChars = 48;

// A quoted, printable rendering of a token: control bytes, quotes and
// backslashes escaped as in C, long tokens cut short with "...".
struct Quoted {
  char text[kQuotedChars * 4 + 8];
};

// Returns `bytes` (`length` of them) quoted; a carriage return reads "\r".
Quoted QuoteBytes(const char* bytes, int32_t length);
// Returns the zero-terminated `token` quoted.
Quoted Quote(const char* token);

// Writes "FILE:LINE: warning: TEXT" about line `line` of task file `file`.
void WarnAtLine(DiagnosticKind kind, const char* file, int32_t line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Writes "FILE:LINE: note: TEXT": what the run does that the user asked
// for, but may want to know of; never an error, and never held back.
void Note(const char* file, int32_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Writes "FILE:LINE: error: TEXT" beside a fatal message about that line.
void ErrorAtLine(const char* file, int32_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Writes "splyce: warning: TEXT" about what has no task-file line.
void Warn(DiagnosticKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes "splyce: error: TEXT" beside a fatal message that has no line.
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes how many diagnostics of each kind were counted but not shown.
void ReportHiddenDiagnostics();

// Makes every later warning an error: written as "error:" in place of
// "warning:", so that the run can end where it must.
void MakeWarningsErrors();
// Ends the process with status 1 when warnings are errors and one has been
// raised.
void EndIfWarned();

#endif  // SPLYCE_BASE_DIAGNOSTICS_H
