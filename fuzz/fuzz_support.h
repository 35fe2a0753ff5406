// Shared by the fuzz targets: runs code that may end the process on purpose
// (Fatal, EndProcess) so that a deliberate exit returns to the harness, keeps
// the files such a run leaves open from piling up, and gives every target a
// private working directory.
#ifndef SPLYCE_FUZZ_FUZZ_SUPPORT_H
#define SPLYCE_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/catch_exit.h"

namespace fuzz {

// Returned by RunCatchingExit when the body returned normally.
constexpr int kReturned = fixture::kReturned;

// Runs body(context) as fixture::CatchExit does, so that a deliberate exit
// comes back here instead of ending the process. Returns kReturned, or the
// status of the deliberate exit. Aborts, which the fuzzer counts as a
// finding, when the status is not one the program documents (1 or 2), or
// when the body returned normally but left a file open. Files that a
// deliberate exit left open are closed: the process would have closed them
// at its exit.
int RunCatchingExit(void (*body)(void* context), void* context);

// Creates a fresh directory under $TMPDIR (or /tmp) and makes it the working
// directory, where the target writes its files (the work file xfade_temp.wav
// is always made in the working directory). Call it from LLVMFuzzerInitialize
// with its arguments: relative paths among them (corpus directories, inputs,
// -artifact_prefix, -exact_artifact_path, -dict) are made absolute first, and
// findings go to the directory the fuzzer was started in unless
// -artifact_prefix says otherwise. Returns the directory's path.
std::string EnterScratchDirectory(const char* name, int* argc, char*** argv);

// Discards standard output unless SPLYCE_FUZZ_STDOUT is set; the
// code under test reports every step there.
void SilenceStandardOutput();

// Writes `size` bytes to `path`, replacing it; aborts on failure.
void WriteWholeFile(const char* path, const uint8_t* data, size_t size);

// Removes every entry of the working directory whose name starts with
// `prefix` (such as the unfinished build files "out.wav.XXXXXX").
void RemoveStartingWith(const char* prefix);

// Prints a message on standard error and aborts: an invariant broke.
[[noreturn]] void Broken(const char* what);

}  // namespace fuzz

#endif  // SPLYCE_FUZZ_FUZZ_SUPPORT_H
