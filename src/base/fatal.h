// Ending the run on a fatal fault: a message on standard output and the
// exit status, with a hook through which a harness can take the exit back.
#ifndef SPLYCE_BASE_FATAL_H
#define SPLYCE_BASE_FATAL_H

// Test hook, null in the program. When set, EndProcess calls it with the
// exit status first, so that a harness (the fuzz targets, the tests) can
// leave the run by longjmp instead of the process ending; if it returns, the
// process ends.
extern void (*g_fatal_hook)(int status);

// Ends the process with `status`, after calling g_fatal_hook when it is set.
[[noreturn]] void EndProcess(int status);

// Prints a message on standard output and ends the process with `status`.
[[noreturn]] void Fatal(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif  // SPLYCE_BASE_FATAL_H
