#include "app/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/diagnostics.h"
#include "base/fatal.h"
#include "base/files.h"

namespace {

// Status of an output path the task's own files forbid, and of one that
// cannot be made or written.
constexpr int kUsageStatus = 1;
constexpr int kFileStatus = 2;
// Permission bits of a new file before the umask; a file replaced passes
// its own on.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kModeBits = 07777;

// Standard output as the run found it, once the report has left it (-1
// before).
int g_saved_output = -1;

// Creates a new file at `path`, never through a link, never an existing file.
int CreateOutputAt(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
}

[[noreturn]] void CannotCreate(const OutputFile& out, const char* why) {
  Error("%s cannot be created: %s", Quote(out.path).text, why);
  Fatal(kFileStatus, "Cannot create file %s\n", out.path);
}

[[noreturn]] void CannotWrite(const OutputFile& out) {
  Error("%s could not be written: %s", Quote(out.path).text, std::strerror(errno));
  Fatal(kFileStatus, "Cannot write file %s\n", out.path);
}

// Sets the file the output replaces: the path, or the file its link names,
// so that the link stays. Refuses what is no regular file.
void ResolveOutput(OutputFile* out) {
  std::snprintf(out->final_path, sizeof out->final_path, "%s", out->path);
  struct stat info;
  if (lstat(out->path, &info) == 0 && S_ISLNK(info.st_mode)) {
    char resolved[kFinalPathBytes];  // as large as PATH_MAX
    if (realpath(out->path, resolved) != nullptr) {
      std::snprintf(out->final_path, sizeof out->final_path, "%s", resolved);
    }
  }
  if (stat(out->final_path, &info) == 0 && !S_ISREG(info.st_mode)) {
    CannotCreate(*out, "it is not a regular file");
  }
}

}  // namespace

void MoveReportToStandardError() {
  std::fflush(stdout);
  g_saved_output = dup(STDOUT_FILENO);
  if (g_saved_output >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
}

void CheckOutputPath(const EditTable& t, const char* path, const char* option) {
  if (std::strcmp(path, kStandardOutputName) == 0) return;
  const auto names = [path](const char* file) {
    return std::strcmp(path, file) == 0 || SameExistingFile(path, file);
  };
  const char* clash = names(t.destination_path) ? "the destination"
                      : names(t.task_path)      ? "the task file"
                                                : nullptr;
  for (int32_t j = 0; clash == nullptr && j < t.entry_count; ++j) {
    if (names(t.source_path[j])) clash = "a source of the task";
  }
  if (clash != nullptr) {
    Error("%s %s would replace %s: give %s another file", option, Quote(path).text, clash, option);
    Fatal(kUsageStatus, "Output file %s is a file of the task\n", path);
  }
  OutputFile out;
  out.path = path;
  ResolveOutput(&out);
  char folder[kFinalPathBytes];
  FolderOf(out.final_path, folder, sizeof folder);
  if (!CanMakeFileIn(folder)) CannotCreate(out, std::strerror(errno));
}

void OpenOutputFile(UnfinishedFile which, const char* path, OutputFile* out) {
  out->path = path;
  out->side_path[0] = '\0';
  if (std::strcmp(path, kStandardOutputName) == 0) {
    out->file = g_saved_output >= 0 ? fdopen(dup(g_saved_output), "w") : nullptr;
    if (out->file == nullptr) CannotCreate(*out, std::strerror(errno));
    return;
  }
  ResolveOutput(out);
  const int fd = MakeOwnNamedFile(which, out->final_path, out->side_path, sizeof out->side_path,
                                  CreateOutputAt);
  struct stat replaced;
  if (fd >= 0 && stat(out->final_path, &replaced) == 0) fchmod(fd, replaced.st_mode & kModeBits);
  out->file = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out->file == nullptr) CannotCreate(*out, std::strerror(errno));
}

void FinishOutputFile(UnfinishedFile which, OutputFile* out) {
  const bool to_file = out->side_path[0] != '\0';
  errno = 0;
  bool written = std::fflush(out->file) == 0 && std::ferror(out->file) == 0;
  written = written && (!to_file || fsync(fileno(out->file)) == 0);
  written = std::fclose(out->file) == 0 && written;
  if (!written) CannotWrite(*out);
  if (!to_file) return;
  if (std::rename(out->side_path, out->final_path) != 0 || !SyncFolderOf(out->final_path)) {
    CannotWrite(*out);
  }
  MarkUnfinished(which, nullptr);
}
