// Explanations for people, on standard error: where a task file or a source
// goes wrong and what the run made of it. Standard output stays the report.
#ifndef SPLYCE_BASE_DIAGNOSTICS_H
#define SPLYCE_BASE_DIAGNOSTICS_H

#include <cstdint>

// Kinds of diagnostic. Each kind is shown a few times per run; the rest are
// only counted, so one systematic mistake in a long task stays readable.
enum DiagnosticKind : int32_t {
  kUnknownToken,
  kKeywordAsValue,
  kCarriageReturns,
  kByteOrderMark,
  kPartialNumber,
  kLevelIgnored,
  kLateUsingSamples,
  kMissingValue,
  kBadCrossfadeType,
  kPathIsKeyword,
  kTaskFileError,
  kReadCut,
  kTrimWholeSeconds,
  kLevelClipped,
  kMixClipped,
  kCrossfadeSkipped,
  kRunOnMissing,
  kNoFolderLock,
  kFileError,
  kDiagnosticKinds
};

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
// Writes "FILE:LINE: error: TEXT" beside a fatal message about that line.
void ErrorAtLine(const char* file, int32_t line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Writes "splyce: warning: TEXT" about what has no task-file line.
void Warn(DiagnosticKind kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes "splyce: error: TEXT" beside a fatal message that has no line.
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes how many diagnostics of each kind were counted but not shown.
void ReportHiddenDiagnostics();

#endif  // SPLYCE_BASE_DIAGNOSTICS_H
