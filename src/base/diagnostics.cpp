#include "base/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/fatal.h"

namespace {

// Room for one diagnostic line, its origin included (bytes); a longer one is
// cut short, never split.
constexpr int32_t kLineBytes = 1024;
// Bytes below this, and the one at kDelete, are control characters.
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;

#define SPLYCE_KIND_NAME(name, text) text,
constexpr const char* kKindNames[kDiagnosticKinds] = {SPLYCE_DIAGNOSTIC_KINDS(SPLYCE_KIND_NAME)};
#undef SPLYCE_KIND_NAME

// How many diagnostics of each kind this run has raised, shown or not.
int64_t g_raised[kDiagnosticKinds];
// Whether warnings are errors, and how many have been raised.
bool g_warnings_are_errors = false;
int64_t g_warnings = 0;
// Status of a run that ends on a warning made an error.
constexpr int kWarnedStatus = 1;

// Counts one diagnostic of `kind`; true while the kind is still shown.
bool Shown(DiagnosticKind kind) {
  ++g_raised[kind];
  return g_raised[kind] <= kShownPerKind;
}

// Appends `c` to `out` at `at` as C would write it inside a string literal.
int32_t PutEscaped(char* out, int32_t at, unsigned char c) {
  if (c == '\r') return at + std::sprintf(out + at, "\\r");
  if (c == '\t') return at + std::sprintf(out + at, "\\t");
  if (c == '"' || c == '\\') return at + std::sprintf(out + at, "\\%c", c);
  if (c < kFirstPrintable || c == kDelete) return at + std::sprintf(out + at, "\\x%02x", c);
  out[at] = char(c);
  return at + 1;
}

// Writes one line on standard error in a single write, so that it is never
// torn by the report on standard output.
void WriteAnyLine(const char* origin, int32_t line, const char* severity, const char* format,
                  va_list args) {
  char text[kLineBytes];
  int used = line > 0 ? std::snprintf(text, sizeof text, "%s:%i: %s: ", origin, line, severity)
                      : std::snprintf(text, sizeof text, "%s: %s: ", origin, severity);
  if (used < 0 || used >= kLineBytes) used = 0;
  std::vsnprintf(text + used, sizeof text - size_t(used), format, args);
  std::fprintf(stderr, "%s\n", text);
}

// Writes one line of `kind`, while the kind is still shown.
void WriteLine(DiagnosticKind kind, const char* origin, int32_t line, const char* severity,
               const char* format, va_list args) {
  if (Shown(kind)) WriteAnyLine(origin, line, severity, format, args);
}

// The word a warning is written with.
const char* WarningWord() { return g_warnings_are_errors ? "error" : "warning"; }

}  // namespace

Quoted QuoteBytes(const char* bytes, int32_t length) {
  Quoted quoted;
  int32_t at = 0;
  quoted.text[at++] = '"';
  for (int32_t i = 0; i < length && i < kQuotedChars; ++i) {
    at = PutEscaped(quoted.text, at, static_cast<unsigned char>(bytes[i]));
  }
  if (length > kQuotedChars) at += std::sprintf(quoted.text + at, "...");
  quoted.text[at++] = '"';
  quoted.text[at] = '\0';
  return quoted;
}

Quoted Quote(const char* token) { return QuoteBytes(token, int32_t(std::strlen(token))); }

void WarnAtLine(DiagnosticKind kind, const char* file, int32_t line, const char* format, ...) {
  ++g_warnings;
  va_list args;
  va_start(args, format);
  WriteLine(kind, file, line, WarningWord(), format, args);
  va_end(args);
}

void Note(const char* file, int32_t line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteAnyLine(file, line, "note", format, args);
  va_end(args);
}

void ErrorAtLine(const char* file, int32_t line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(kTaskFileError, file, line, "error", format, args);
  va_end(args);
}

void Warn(DiagnosticKind kind, const char* format, ...) {
  ++g_warnings;
  va_list args;
  va_start(args, format);
  WriteLine(kind, "splyce", 0, WarningWord(), format, args);
  va_end(args);
}

void Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(kFileError, "splyce", 0, "error", format, args);
  va_end(args);
}

const char* DiagnosticKindName(DiagnosticKind kind) { return kKindNames[kind]; }

void ReportHiddenDiagnostics() {
  for (int32_t kind = 0; kind < kDiagnosticKinds; ++kind) {
    const int64_t hidden = g_raised[kind] - kShownPerKind;
    if (hidden > 0) {
      std::fprintf(stderr, "splyce: %s: %lld more %ss of the kind \"%s\" were not shown\n",
                   WarningWord(), static_cast<long long>(hidden), WarningWord(), kKindNames[kind]);
    }
    g_raised[kind] = 0;
  }
}

void MakeWarningsErrors() { g_warnings_are_errors = true; }

void EndIfWarned() {
  if (g_warnings_are_errors && g_warnings > 0) EndProcess(kWarnedStatus);
}
