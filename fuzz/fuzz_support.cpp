#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/catch_exit.h"
#include "wav/wav_file.h"

// The fuzz targets are linked with -Wl,--wrap=fopen,--wrap=fdopen,--wrap=fclose
// (fuzz/CMakeLists.txt), so every stream the code under test opens or closes
// passes through these and is recorded while a body runs.
extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fdopen(int fd, const char* mode);
int __real_fclose(FILE* file);
FILE* __wrap_fopen(const char* path, const char* mode);
FILE* __wrap_fdopen(int fd, const char* mode);
int __wrap_fclose(FILE* file);
}

namespace {

// More streams than any operation of the program holds at once.
constexpr int kMaxOpenStreams = 16;

FILE* g_open[kMaxOpenStreams];
bool g_recording = false;

void Record(FILE* file) {
  if (!g_recording || file == nullptr) return;
  for (FILE*& slot : g_open) {
    if (slot == nullptr) {
      slot = file;
      return;
    }
  }
  fuzz::Broken("more than 16 streams open at once");
}

void Forget(FILE* file) {
  for (FILE*& slot : g_open) {
    if (slot == file) slot = nullptr;
  }
}

// Closes what a deliberate exit left open; returns how many there were.
int CloseLeftStreams() {
  int left = 0;
  for (FILE*& slot : g_open) {
    if (slot != nullptr) {
      __real_fclose(slot);
      slot = nullptr;
      ++left;
    }
  }
  return left;
}

}  // namespace

extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
  FILE* file = __real_fopen(path, mode);
  Record(file);
  return file;
}

extern "C" FILE* __wrap_fdopen(int fd, const char* mode) {
  FILE* file = __real_fdopen(fd, mode);
  Record(file);
  return file;
}

extern "C" int __wrap_fclose(FILE* file) {
  Forget(file);
  return __real_fclose(file);
}

namespace fuzz {

int RunCatchingExit(void (*body)(void* context), void* context) {
  g_recording = true;
  const int status = fixture::CatchExit(body, context);
  g_recording = false;
  const int left = CloseLeftStreams();
  if (status == kReturned && left > 0) Broken("an operation returned with a file still open");
  if (status != kReturned && status != 1 && status != 2) Broken("exit with an undocumented status");
  return status;
}

std::string EnterScratchDirectory(const char* name, int* argc, char*** argv) {
  static std::vector<std::string> arguments;
  static std::vector<char*> pointers;
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr) Broken("cannot tell the working directory");
  const std::string prefix = std::string(here) + "/";
  bool has_artifact_prefix = false;
  for (int i = 0; i < *argc; ++i) {
    std::string argument = (*argv)[i];
    size_t path_at = std::string::npos;  // where a path starts in the argument
    for (const char* option : {"-artifact_prefix=", "-exact_artifact_path=", "-dict="}) {
      if (argument.rfind(option, 0) == 0) path_at = std::strlen(option);
    }
    has_artifact_prefix = has_artifact_prefix || argument.rfind("-artifact_prefix=", 0) == 0;
    if (i > 0 && argument[0] != '-') path_at = 0;
    if (path_at != std::string::npos && argument.size() > path_at && argument[path_at] != '/') {
      argument.insert(path_at, prefix);
    }
    arguments.push_back(argument);
  }
  if (!has_artifact_prefix) arguments.push_back("-artifact_prefix=" + prefix);
  for (std::string& argument : arguments) pointers.push_back(&argument[0]);
  pointers.push_back(nullptr);
  *argc = int(arguments.size());
  *argv = pointers.data();

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name +
                        "-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr || chdir(pattern.c_str()) != 0) {
    Broken("cannot make a scratch directory");
  }
  static std::string scratch = pattern;
  // An ordinary end (time limit or -runs) removes the directory; after a
  // finding it stays for a look.
  std::atexit([] {
    RemoveStartingWith("");
    if (chdir("/") == 0) rmdir(scratch.c_str());
  });
  return pattern;
}

// Takes every write to the stream and keeps none of it.
static ssize_t DiscardWrite(void*, const char*, size_t size) { return ssize_t(size); }

// Swaps standard output for a stream that discards what it is given, so that
// no file or device outside the scratch directory is written.
void SilenceStandardOutput() {
  if (std::getenv("SPLYCE_FUZZ_STDOUT") != nullptr) return;
  cookie_io_functions_t discard = {nullptr, DiscardWrite, nullptr, nullptr};
  FILE* sink = fopencookie(nullptr, "w", discard);
  if (sink == nullptr) Broken("cannot silence standard output");
  stdout = sink;
}

void WriteWholeFile(const char* path, const uint8_t* data, size_t size) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Broken("cannot create an input file");
  size_t done = 0;
  while (done < size) {
    const ssize_t wrote = write(fd, data + done, size - done);
    if (wrote <= 0) Broken("cannot write an input file");
    done += size_t(wrote);
  }
  close(fd);
}

void RemoveStartingWith(const char* prefix) {
  DIR* dir = opendir(".");
  if (dir == nullptr) Broken("cannot list the scratch directory");
  const size_t length = std::strlen(prefix);
  while (const dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, prefix, length) == 0) unlink(entry->d_name);
  }
  closedir(dir);
}

void Broken(const char* what) {
  std::fprintf(stderr, "splyce fuzz harness: %s\n", what);
  std::abort();
}

}  // namespace fuzz
