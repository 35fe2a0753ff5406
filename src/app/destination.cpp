#include "app/destination.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/stat.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/diagnostics.h"
#include "base/fatal.h"
#include "base/files.h"
#include "app/planning.h"
#include "wav/wav_file.h"

namespace {

// Status when the destination cannot be made or written.
constexpr int kFileStatus = 2;
// Permission bits of a new file before the umask.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 07777;
// Mode of the build file while it is written: the run reopens it by path for
// writing, which the destination's final mode may not allow.
constexpr mode_t kBuildFileMode = 0600;
// A path that reopens an open descriptor's file, unnamed or not.
constexpr char kDescriptorPath[] = "/proc/self/fd/%d";
// Names tried for the finished build file beside the destination, and for
// the files of the run's own: the destination's path (or another file's), a
// dot, the process id, a dash and the attempt.
constexpr char kSideName[] = "%s.%ld-%d";
constexpr int32_t kSideNameAttempts = 100;
// Longest ".PID-N" those names add to the destination's name (characters):
// a process id has at most 7 digits, an attempt 2.
constexpr size_t kSideSuffixChars = 11;
// Links followed to a destination that does not exist yet before the chain
// is taken for a loop, as the system itself counts.
constexpr int32_t kMaxLinkHops = 40;
// Room for the names of a file's extended attributes, and for one value
// (bytes): a large ACL is a few KiB.
constexpr ssize_t kAttributeBytes = 65536;
// The extended attribute that holds a file's ACL.
constexpr char kAclAttribute[] = "system.posix_acl_access";

// The build file, open from its creation until it replaces the destination.
int g_build_fd = -1;
// Whether the build file is the destination itself, or a named file.
bool g_in_place = false;
bool g_build_named = false;

// The files to remove if the process ends before they are finished.
const char* volatile g_unfinished[kUnfinishedFiles] = {};

// Signals that end a run from outside: every one whose default action ends
// the process (the real-time ones besides), Ctrl-C, kill, a closed terminal
// and a reader of the report that stopped early among them.
constexpr int kOutsideSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGPIPE,
                                   SIGUSR1, SIGUSR2,   SIGALRM, SIGVTALRM, SIGPROF,
                                   SIGXCPU, SIGIO,     SIGPWR,  SIGSTKFLT};
// Signals of a fault in the program itself. A sanitizer reports these with
// handlers of its own, which the sanitized build keeps.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepFaultHandlers = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool kKeepFaultHandlers = true;
#else
constexpr bool kKeepFaultHandlers = false;
#endif
#else
constexpr bool kKeepFaultHandlers = false;
#endif

void RemoveUnfinished() {
  for (const char* volatile& path : g_unfinished) {
    if (path != nullptr) unlink(path);
  }
}

// Removes the unfinished files, then lets the signal end the process as it
// would have.
void RemoveUnfinishedOnSignal(int signal_number) {
  RemoveUnfinished();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Adds to `set` every signal that ends a run from outside.
void AddOutsideSignals(sigset_t* set) {
  for (int signal_number : kOutsideSignals) sigaddset(set, signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    sigaddset(set, signal_number);
  }
}

void Catch(int signal_number, const sigset_t& during) {
  struct sigaction action = {};
  action.sa_handler = RemoveUnfinishedOnSignal;
  action.sa_mask = during;
  sigaction(signal_number, &action, nullptr);
}

// Blocks or unblocks the outside signals, around the moment when the built
// file has a name of its own but is not yet the destination.
void MaskOutsideSignals(int how) {
  sigset_t signals;
  sigemptyset(&signals);
  AddOutsideSignals(&signals);
  sigprocmask(how, &signals, nullptr);
}

// Refuses the destination: says why on standard error, then prints the
// message and ends the run with nothing created.
[[noreturn]] __attribute__((format(printf, 2, 3))) void Refuse(const EditTable& t,
                                                               const char* why, ...) {
  char reason[512];
  va_list args;
  va_start(args, why);
  std::vsnprintf(reason, sizeof reason, why, args);
  va_end(args);
  Error("%s cannot be created: %s", Quote(t.destination_path).text, reason);
  Fatal(kFileStatus, "Cannot create file %s\n", t.destination_path);
}

// Says why a file could not be made in the destination's folder.
[[noreturn]] void RefuseForError(const EditTable& t, int error) {
  char folder[kFinalPathBytes];
  FolderOf(t.final_path, folder, sizeof folder);
  if (error == ENOENT) Refuse(t, "the folder %s does not exist", Quote(folder).text);
  if (error == EACCES || error == EPERM) {
    Refuse(t, "permission denied: you may not make files in the folder %s", Quote(folder).text);
  }
  if (error == EROFS) Refuse(t, "the folder %s is on a read-only file system", Quote(folder).text);
  if (error == ENOTDIR) Refuse(t, "a part of its path is not a folder");
  Refuse(t, "%s", std::strerror(error));
}

// Reports whether the file at `path` has the append-only or immutable flag,
// which keep even its owner from replacing it.
bool CannotBeReplaced(const char* path) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  int flags = 0;
  const bool flagged = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                       (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
  close(fd);
  return flagged;
}

// Refuses, before anything is created, a destination that the run may not
// replace: a path ending in "/", one that, links followed, exists and is not
// a regular file (a directory, FIFO, device or socket), is flagged
// append-only or immutable or is a file the user may not write, or one whose
// folders cannot be reached.
void CheckDestination(const EditTable& t) {
  const char* path = t.destination_path;
  const size_t length = std::strlen(path);
  struct stat info;
  if (length == 0 || path[length - 1] == '/') Refuse(t, "the name ends in a slash, so it names a folder");
  if (stat(path, &info) != 0) {
    if (errno == ENOENT) return;  // created later, if its folder is there
    RefuseForError(t, errno);
  }
  if (S_ISDIR(info.st_mode)) Refuse(t, "it is a folder");
  if (!S_ISREG(info.st_mode)) Refuse(t, "it is not a regular file (a FIFO, device or socket)");
  if (CannotBeReplaced(path)) {
    Refuse(t, "it is a file you may not replace: it is flagged append-only or immutable");
  }
  if (access(path, W_OK) != 0) {
    if (errno == EROFS) Refuse(t, "it is on a read-only file system");
    Refuse(t, "permission denied: you may not write it");
  }
}

// Sets the final path to where the last of a chain of links points, for a
// file that does not exist yet, so that it is made there and the links stay.
// False when the chain is too long or its path does not fit.
bool FollowDanglingLinks(EditTable& t) {
  char target[kFinalPathBytes];
  char folder[kFinalPathBytes];
  for (int32_t hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat info;
    if (lstat(t.final_path, &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    const ssize_t length = readlink(t.final_path, target, sizeof target - 1);
    if (length < 0) return false;
    target[length] = '\0';
    FolderOf(t.final_path, folder, sizeof folder);
    const int written = target[0] == '/'
                            ? std::snprintf(t.final_path, kFinalPathBytes, "%s", target)
                            : std::snprintf(t.final_path, kFinalPathBytes, "%s/%s", folder, target);
    if (written < 0 || written >= kFinalPathBytes) return false;
  }
  return false;
}

// Sets the file the run finally writes: the destination, or the file it
// names when it is a symbolic link, so that the link itself stays.
void ResolveFinalPath(EditTable& t) {
  struct stat info;
  std::strcpy(t.final_path, t.destination_path);
  if (lstat(t.destination_path, &info) != 0 || !S_ISLNK(info.st_mode)) return;
  if (realpath(t.destination_path, t.final_path) != nullptr) return;
  std::strcpy(t.final_path, t.destination_path);
  if (!FollowDanglingLinks(t)) Refuse(t, "its chain of links is too long or ends in a name too long");
}

// Returns the last part of a path.
const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash == nullptr ? path : slash + 1;
}

// Reports whether a file is the root of a mount, which no rename can replace.
bool IsMountPoint(const char* path, const struct stat& file, const struct stat& folder) {
  struct statx extended = {};
  if (statx(AT_FDCWD, path, 0, STATX_BASIC_STATS, &extended) == 0 &&
      (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (extended.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  return file.st_dev != folder.st_dev;
}

// Refuses what the run could write but not replace once it is built: a
// name longer than the folder takes with the suffix of the built file's
// name beside it, another user's file in a folder where only a file's owner
// may replace it, and a mount point.
void CheckReplaceable(const EditTable& t) {
  char folder[kFinalPathBytes];
  FolderOf(t.final_path, folder, sizeof folder);
  const long name_max = pathconf(folder, _PC_NAME_MAX);
  if (name_max > 0 && std::strlen(BaseName(t.final_path)) + kSideSuffixChars > size_t(name_max)) {
    Refuse(t, "its name is longer than the file system allows for the file it is built in");
  }
  struct stat file;
  struct stat place;
  if (stat(t.final_path, &file) != 0 || stat(folder, &place) != 0) return;
  const uid_t user = geteuid();
  if ((place.st_mode & S_ISVTX) != 0 && user != 0 && file.st_uid != user && place.st_uid != user) {
    Refuse(t, "it is a file you may not replace: it belongs to another user, in a folder where "
              "only a file's owner may replace it");
  }
  if (IsMountPoint(t.final_path, file, place)) {
    Refuse(t, "it is a file you may not replace: something is mounted on it");
  }
}

// Refuses a destination the run may not write or replace, and sets the file
// it finally replaces.
void ResolveReplaceableDestination(EditTable& t) {
  CheckDestination(t);
  ResolveFinalPath(t);
  CheckReplaceable(t);
}

// Opens an unnamed file in the destination's folder to build into, which
// vanishes by itself if the process dies, and names it by its descriptor so
// that every operation can open it by path. False (errno set) where the
// file system or the system offers no such file or refuses it.
bool OpenUnnamedBuildFile(EditTable& t) {
  char folder[kFinalPathBytes];
  FolderOf(t.final_path, folder, sizeof folder);
  g_build_fd = OpenUnnamedFile(folder, kBuildFileMode, t.build_path, sizeof t.build_path);
  return g_build_fd >= 0;
}

// Creates a new file at `path` to build into, never following a link and
// never an existing file.
int CreateBuildFileAt(const char* path) {
  return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kBuildFileMode);
}

// Creates a new file under a name of its own beside the destination to build
// into, removed if the run ends before it is complete. False (errno set)
// when none can be made.
bool OpenNamedBuildFile(EditTable& t) {
  g_build_fd = MakeOwnNamedFile(kUnfinishedBuild, t.final_path, t.build_path,
                                sizeof t.build_path, CreateBuildFileAt);
  g_build_named = g_build_fd >= 0;
  return g_build_named;
}

// Refuses, unless the destination can be built in itself: where its folder
// refuses new files (`error`) for permission or a read-only file system and
// the destination may be written, with what else that asks checked.
void CheckInPlace(const EditTable& t, int error, void (*in_place_check)(const EditTable&)) {
  const bool refused_new_files = error == EACCES || error == EPERM || error == EROFS;
  if (!refused_new_files || access(t.final_path, W_OK) != 0) RefuseForError(t, error);
  if (in_place_check != nullptr) in_place_check(t);
}

// Builds in the destination itself where its folder refuses new files for
// permission or a read-only file system and the destination may be written,
// as opening it for writing would; refuses for any other reason. What else
// can stop the run is checked before the destination is touched.
void BuildInPlaceOrRefuse(EditTable& t, int error, void (*in_place_check)(const EditTable&)) {
  CheckInPlace(t, error, in_place_check);
  g_build_fd = open(t.final_path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (g_build_fd < 0) RefuseForError(t, errno);
  fcntl(g_build_fd, F_SETFL, O_RDWR);  // blocking again; O_NONBLOCK kept a FIFO from waiting
  g_in_place = true;
  std::strcpy(t.build_path, t.final_path);
}

// Gives the build file the owner and group of the file it replaces, or the
// group alone: a user who is not root may change neither the owner nor to a
// group they are not in. Returns whether either was kept.
bool KeepOwnerAndGroup(const struct stat& replaced) {
  return fchown(g_build_fd, replaced.st_uid, replaced.st_gid) == 0 ||
         fchown(g_build_fd, uid_t(-1), replaced.st_gid) == 0;
}

// Copies the extended attributes of the file at `path` to the build file:
// its ACL, which must not be lost (the file would be open to more people),
// and the rest, whose loss is only said.
void KeepExtendedAttributes(const EditTable& t) {
  static char names[kAttributeBytes];
  static char value[kAttributeBytes];
  const ssize_t listed = listxattr(t.final_path, names, sizeof names);
  for (ssize_t at = 0; at < listed; at += ssize_t(std::strlen(names + at)) + 1) {
    const char* name = names + at;
    const ssize_t size = getxattr(t.final_path, name, value, sizeof value);
    const bool kept = size >= 0 && fsetxattr(g_build_fd, name, value, size_t(size), 0) == 0;
    if (kept) continue;
    if (std::strcmp(name, kAclAttribute) == 0) {
      Refuse(t, "its access control list could not be kept (%s)", std::strerror(errno));
    }
    Warn(kFileError, "%s: the extended attribute %s could not be kept (%s)",
         Quote(t.destination_path).text, Quote(name).text, std::strerror(errno));
  }
}

// Gives the build file the owner, group, mode and extended attributes of the
// file it replaces, or the mode the umask allows a new file. The mode comes
// after the owner, since a change of owner clears set-ID bits, and the ACL
// last, since it sets the group bits of the mode.
void KeepAttributes(const EditTable& t) {
  struct stat replaced;
  if (stat(t.final_path, &replaced) != 0) {
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(g_build_fd, kNewFileMode & ~mask) != 0) Refuse(t, "its mode could not be set");
    return;
  }
  if (!KeepOwnerAndGroup(replaced)) {
    Warn(kFileError, "%s: neither its owner nor its group could be kept (%s)",
         Quote(t.destination_path).text, std::strerror(errno));
  }
  if (fchmod(g_build_fd, replaced.st_mode & kPermissionBits) != 0) {
    Refuse(t, "its mode could not be kept");
  }
  KeepExtendedAttributes(t);
}

// Gives the unnamed build file a new name beside the destination, then
// renames it over the destination. False when either step fails; a name
// that was made is removed again.
bool LinkOverDestination(const EditTable& t) {
  char name[kBuildPathBytes];
  for (int32_t attempt = 0; attempt < kSideNameAttempts; ++attempt) {
    std::snprintf(name, sizeof name, kSideName, t.final_path, long(getpid()), int(attempt));
    if (linkat(AT_FDCWD, t.build_path, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) {
      if (std::rename(name, t.final_path) == 0) return true;
      unlink(name);
      return false;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Ends the run unless everything written to the open file is on the disk.
void SyncOrDie(int fd, const EditTable& t) {
  if (fdatasync(fd) == 0) return;
  Error("%s could not be written to the disk: %s", Quote(t.destination_path).text,
        std::strerror(errno));
  Fatal(kFileStatus, "Cannot write file %s\n", t.destination_path);
}

// Writes the destination's folder to the disk, so that a crash after the
// run finds the destination under its name.
void SyncFolder(const EditTable& t) {
  if (!SyncFolderOf(t.final_path)) {
    Error("the folder of %s could not be written to the disk", Quote(t.destination_path).text);
    Fatal(kFileStatus, "Cannot write file %s\n", t.destination_path);
  }
}

}  // namespace

void FlushReportOrDie() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return;
  Error("the report could not be written to standard output: %s", std::strerror(errno));
  EndProcess(kFileStatus);
}

void MarkUnfinished(UnfinishedFile which, const char* path) { g_unfinished[which] = path; }

int MakeUnfinished(UnfinishedFile which, const char* path, int (*make)(const char* path)) {
  MaskOutsideSignals(SIG_BLOCK);
  const int fd = make(path);
  const int error = errno;
  if (fd >= 0) MarkUnfinished(which, path);
  MaskOutsideSignals(SIG_UNBLOCK);
  errno = error;
  return fd;
}

int MakeOwnNamedFile(UnfinishedFile which, const char* base, char* path, size_t size,
                     int (*make)(const char* path)) {
  for (int32_t attempt = 0; attempt < kSideNameAttempts; ++attempt) {
    std::snprintf(path, size, kSideName, base, long(getpid()), int(attempt));
    const int fd = MakeUnfinished(which, path, make);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void InstallCleanup() {
  std::atexit(RemoveUnfinished);
  sigset_t during;
  sigemptyset(&during);
  AddOutsideSignals(&during);
  for (int signal_number : kOutsideSignals) Catch(signal_number, during);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    Catch(signal_number, during);
  }
  if (!kKeepFaultHandlers) {
    for (int signal_number : kFaultSignals) Catch(signal_number, during);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

void FolderOf(const char* path, char* folder, size_t size) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::snprintf(folder, size, ".");
  } else {
    const int length = slash == path ? 1 : int(slash - path);
    std::snprintf(folder, size, "%.*s", length, path);
  }
}

int OpenUnnamedFile(const char* folder, mode_t mode, char* named, size_t size) {
  const int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  std::snprintf(named, size, kDescriptorPath, fd);
  const int reopened = open(named, O_RDWR | O_CLOEXEC);
  if (reopened < 0) {
    close(fd);
    errno = EOPNOTSUPP;  // no /proc to reach it by
    return -1;
  }
  close(reopened);
  return fd;
}

bool LacksUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

bool SyncFolderOf(const char* path) {
  char folder[kFinalPathBytes];
  FolderOf(path, folder, sizeof folder);
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  return synced;
}

bool CanMakeFileIn(const char* folder) {
  const int fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, kBuildFileMode);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  if (!LacksUnnamedFiles(errno)) return false;
  return faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) == 0;
}

void CheckBuildFile(EditTable& t, void (*in_place_check)(const EditTable&)) {
  ResolveReplaceableDestination(t);
  char folder[kFinalPathBytes];
  FolderOf(t.final_path, folder, sizeof folder);
  if (!CanMakeFileIn(folder)) CheckInPlace(t, errno, in_place_check);
}

void CreateBuildFile(EditTable& t, void (*in_place_check)(const EditTable&)) {
  if (g_build_fd >= 0) close(g_build_fd);  // left by a run that ended part-way in-process
  g_build_fd = -1;
  g_in_place = false;
  g_build_named = false;
  UseDescriptorForPath(nullptr, -1);
  ResolveReplaceableDestination(t);
  if (!OpenUnnamedBuildFile(t)) {
    const int error = errno;
    if (!LacksUnnamedFiles(error) || !OpenNamedBuildFile(t)) {
      BuildInPlaceOrRefuse(t, LacksUnnamedFiles(error) ? errno : error, in_place_check);
    }
  }
  UseDescriptorForPath(t.build_path, g_build_fd);
  ShowPathAs(t.build_path, t.destination_path);
  ReserveBuildBlocks(t);
}

// On ext4, writing into reserved blocks costs less than having each block
// allocated as it is first written. Where the file system reserves nothing,
// blocks are allocated as they are written. Silence that no edit writes
// stays a hole. A destination built in place keeps the blocks it has.
void ReserveBuildBlocks(const EditTable& t) {
  if (g_build_fd < 0 || g_in_place) return;
  const int64_t block_align = BlockAlign(t.out_bytes_per_sample, t.out_channels);
  const int64_t header = HeaderBytes(uint32_t(t.out_bits), t.total_frames, uint32_t(t.out_channels),
                                     DestinationWave(t));
  fallocate(g_build_fd, FALLOC_FL_KEEP_SIZE, 0, header);
  for (int32_t j = 0; j < t.entry_count; ++j) {
    const int64_t frames = int64_t(t.copy_length[j]) + t.run_on[j];
    if (frames <= 0) continue;
    fallocate(g_build_fd, FALLOC_FL_KEEP_SIZE, header + t.insert_frame[j] * block_align,
              frames * block_align);
  }
}

void KeepDestinationAttributes(const EditTable& t) {
  if (!g_in_place) KeepAttributes(t);
}

// From the moment the built file takes the destination's place, no signal
// may turn the run into a failure: the outside signals stay blocked to the
// end of the process, and a reader that has gone no longer matters.
void ReplaceDestination(const EditTable& t) {
  FlushReportOrDie();
  UseDescriptorForPath(t.build_path, -1);
  SyncOrDie(g_build_fd, t);
  MaskOutsideSignals(SIG_BLOCK);
  std::signal(SIGPIPE, SIG_IGN);
  if (!g_in_place) {
    const bool replaced = g_build_named ? std::rename(t.build_path, t.final_path) == 0
                                        : LinkOverDestination(t);
    if (!replaced) Refuse(t, "it could not be replaced (%s)", std::strerror(errno));
    MarkUnfinished(kUnfinishedBuild, nullptr);
  }
  close(g_build_fd);
  g_build_fd = -1;
  if (!g_in_place) SyncFolder(t);
}
