// A preload library for the tests: makes chosen system calls of the program
// fail, so that the paths taken only where a file system lacks a feature, or
// only after a call fails, run on the real binary. It reads its rules from
// the environment variable SPLYCE_FAULTS, which only the tests set:
//
//   SPLYCE_FAULTS="CALL:ERRNO[:path=TEXT][:after=N][:times=N][:flags=tmpfile|creat|write]; ..."
//
// CALL is one of open, flock, read, write, pread, pwrite, fdatasync, fsync, rename,
// link, unlink, fchown, fchmod, fsetxattr, ftruncate, fallocate, ioctl, or
// soxr_create and soxr_process of the rate converter: they fail with their
// library's error, or, for soxr_process with ENODATA, take the input and
// give no output, as a converter that loses frames would. A rule
// fails the call with ERRNO (a name such as ENOSPC) when the path it
// concerns holds TEXT (for calls on a descriptor: the path the descriptor
// was opened by, as /proc shows it), after N such calls have gone through,
// at most `times` times; an open rule can be limited to opens with O_TMPFILE,
// O_CREAT or write access.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxRules = 16;
constexpr int kTextBytes = 256;

struct Rule {
  char call[32];
  int error;
  char path[kTextBytes];  // empty: any path
  long after;             // matching calls that go through first
  long times;             // failures at most; negative: no limit
  int flags;              // open flags of which one must be set; 0: any open
  long seen;
};

Rule g_rules[kMaxRules];
int g_rule_count = -1;

struct ErrorName {
  const char* name;
  int value;
};
const ErrorName kErrors[] = {
    {"ENOSPC", ENOSPC}, {"EIO", EIO},         {"EOPNOTSUPP", EOPNOTSUPP}, {"ENOLCK", ENOLCK},
    {"EPERM", EPERM},   {"EACCES", EACCES},   {"EROFS", EROFS},   {"ENAMETOOLONG", ENAMETOOLONG},
    {"EXDEV", EXDEV},   {"EDQUOT", EDQUOT},   {"EEXIST", EEXIST}, {"EBUSY", EBUSY},
    {"EFBIG", EFBIG},   {"EINTR", EINTR},     {"EISDIR", EISDIR}, {"EINVAL", EINVAL},
    {"ENOTTY", ENOTTY}, {"EMFILE", EMFILE},   {"ENODATA", ENODATA},
};

int ErrorOf(const char* name) {
  for (const ErrorName& e : kErrors) {
    if (std::strcmp(e.name, name) == 0) return e.value;
  }
  return EIO;
}

// Reads one rule from `text` (its fields split by ':').
void ParseRule(char* text, Rule* rule) {
  *rule = Rule{};
  rule->times = -1;
  char* saved = nullptr;
  char* field = strtok_r(text, ":", &saved);
  if (field != nullptr) std::snprintf(rule->call, sizeof rule->call, "%s", field);
  field = strtok_r(nullptr, ":", &saved);
  rule->error = field != nullptr ? ErrorOf(field) : EIO;
  while ((field = strtok_r(nullptr, ":", &saved)) != nullptr) {
    if (std::strncmp(field, "path=", 5) == 0) std::snprintf(rule->path, kTextBytes, "%s", field + 5);
    if (std::strncmp(field, "after=", 6) == 0) rule->after = std::atol(field + 6);
    if (std::strncmp(field, "times=", 6) == 0) rule->times = std::atol(field + 6);
    if (std::strcmp(field, "flags=tmpfile") == 0) rule->flags = O_TMPFILE;
    if (std::strcmp(field, "flags=creat") == 0) rule->flags = O_CREAT;
    if (std::strcmp(field, "flags=write") == 0) rule->flags = O_WRONLY | O_RDWR;
  }
}

void LoadRules() {
  if (g_rule_count >= 0) return;
  g_rule_count = 0;
  const char* all = std::getenv("SPLYCE_FAULTS");
  if (all == nullptr) return;
  static char copy[kMaxRules * kTextBytes];
  std::snprintf(copy, sizeof copy, "%s", all);
  char* saved = nullptr;
  for (char* text = strtok_r(copy, ";", &saved); text != nullptr && g_rule_count < kMaxRules;
       text = strtok_r(nullptr, ";", &saved)) {
    ParseRule(text, &g_rules[g_rule_count++]);
  }
}

// The path an open descriptor was opened by, as /proc shows it.
void PathOfDescriptor(int fd, char* path, size_t size) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, size - 1);
  path[length < 0 ? 0 : length] = '\0';
}

// Reports whether a rule fails this call, and sets errno when it does.
bool Fails(const char* call, const char* path, int open_flags = 0) {
  LoadRules();
  for (int k = 0; k < g_rule_count; ++k) {
    Rule& r = g_rules[k];
    if (std::strcmp(r.call, call) != 0) continue;
    if (r.path[0] != '\0' && (path == nullptr || std::strstr(path, r.path) == nullptr)) continue;
    if (r.flags == O_TMPFILE && (open_flags & O_TMPFILE) != O_TMPFILE) continue;
    if (r.flags == O_CREAT && (open_flags & O_CREAT) == 0) continue;
    if (r.flags == (O_WRONLY | O_RDWR) && (open_flags & (O_WRONLY | O_RDWR)) == 0) continue;
    if (r.seen++ < r.after) continue;
    if (r.times == 0) continue;
    if (r.times > 0) --r.times;
    errno = r.error;
    return true;
  }
  return false;
}

bool FailsOnDescriptor(const char* call, int fd) {
  LoadRules();
  if (g_rule_count == 0) return false;
  char path[4096];
  PathOfDescriptor(fd, path, sizeof path);
  return Fails(call, path);
}

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

// The mode an open passes after its flags, where they make a file.
#define SHIM_TAKE_MODE(flags)                                                      \
  mode_t mode = 0;                                                                 \
  if (((flags) & O_CREAT) != 0 || ((flags) & O_TMPFILE) == O_TMPFILE) {            \
    va_list args;                                                                  \
    va_start(args, flags);                                                         \
    mode = mode_t(va_arg(args, int));                                              \
    va_end(args);                                                                  \
  }

#define SHIM_OPEN(NAME)                                                            \
  int NAME(const char* path, int flags, ...) {                                     \
    SHIM_TAKE_MODE(flags)                                                          \
    if (Fails("open", path, flags)) return -1;                                     \
    static auto real = Real<int (*)(const char*, int, ...)>(#NAME);                \
    return real(path, flags, mode);                                                \
  }
SHIM_OPEN(open)
SHIM_OPEN(open64)

#define SHIM_OPENAT(NAME)                                                          \
  int NAME(int dir, const char* path, int flags, ...) {                            \
    SHIM_TAKE_MODE(flags)                                                          \
    if (Fails("open", path, flags)) return -1;                                     \
    static auto real = Real<int (*)(int, const char*, int, ...)>(#NAME);           \
    return real(dir, path, flags, mode);                                           \
  }
SHIM_OPENAT(openat)
SHIM_OPENAT(openat64)

int flock(int fd, int operation) {
  if (FailsOnDescriptor("flock", fd)) return -1;
  static auto real = Real<int (*)(int, int)>("flock");
  return real(fd, operation);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  if (FailsOnDescriptor("write", fd)) return -1;
  static auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  return real(fd, buffer, count);
}

ssize_t read(int fd, void* buffer, size_t count) {
  if (FailsOnDescriptor("read", fd)) return -1;
  static auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  return real(fd, buffer, count);
}

#define SHIM_PREAD(NAME)                                                           \
  ssize_t NAME(int fd, void* buffer, size_t count, off_t at) {                     \
    if (FailsOnDescriptor("pread", fd)) return -1;                                 \
    static auto real = Real<ssize_t (*)(int, void*, size_t, off_t)>(#NAME);        \
    return real(fd, buffer, count, at);                                            \
  }
SHIM_PREAD(pread)
SHIM_PREAD(pread64)

#define SHIM_PWRITE(NAME)                                                          \
  ssize_t NAME(int fd, const void* buffer, size_t count, off_t at) {               \
    if (FailsOnDescriptor("pwrite", fd)) return -1;                                \
    static auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>(#NAME);  \
    return real(fd, buffer, count, at);                                            \
  }
SHIM_PWRITE(pwrite)
SHIM_PWRITE(pwrite64)

#define SHIM_DESCRIPTOR_CALL(NAME, KEY)                                            \
  int NAME(int fd) {                                                               \
    if (FailsOnDescriptor(KEY, fd)) return -1;                                     \
    static auto real = Real<int (*)(int)>(#NAME);                                  \
    return real(fd);                                                               \
  }
SHIM_DESCRIPTOR_CALL(fdatasync, "fdatasync")
SHIM_DESCRIPTOR_CALL(fsync, "fsync")

int rename(const char* from, const char* to) {
  if (Fails("rename", to)) return -1;
  static auto real = Real<int (*)(const char*, const char*)>("rename");
  return real(from, to);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  if (Fails("link", to)) return -1;
  static auto real = Real<int (*)(int, const char*, int, const char*, int)>("linkat");
  return real(from_dir, from, to_dir, to, flags);
}

int unlink(const char* path) {
  if (Fails("unlink", path)) return -1;
  static auto real = Real<int (*)(const char*)>("unlink");
  return real(path);
}

int fchown(int fd, uid_t owner, gid_t group) {
  if (FailsOnDescriptor("fchown", fd)) return -1;
  static auto real = Real<int (*)(int, uid_t, gid_t)>("fchown");
  return real(fd, owner, group);
}

int fchmod(int fd, mode_t mode) {
  if (FailsOnDescriptor("fchmod", fd)) return -1;
  static auto real = Real<int (*)(int, mode_t)>("fchmod");
  return real(fd, mode);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (FailsOnDescriptor("fsetxattr", fd)) return -1;
  static auto real = Real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
  return real(fd, name, value, size, flags);
}

#define SHIM_FTRUNCATE(NAME)                                                       \
  int NAME(int fd, off_t length) {                                                 \
    if (FailsOnDescriptor("ftruncate", fd)) return -1;                             \
    static auto real = Real<int (*)(int, off_t)>(#NAME);                           \
    return real(fd, length);                                                       \
  }
SHIM_FTRUNCATE(ftruncate)
SHIM_FTRUNCATE(ftruncate64)

#define SHIM_FALLOCATE(NAME)                                                       \
  int NAME(int fd, int mode, off_t at, off_t length) {                             \
    if (FailsOnDescriptor("fallocate", fd)) return -1;                             \
    static auto real = Real<int (*)(int, int, off_t, off_t)>(#NAME);               \
    return real(fd, mode, at, length);                                             \
  }
SHIM_FALLOCATE(fallocate)
SHIM_FALLOCATE(fallocate64)

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (FailsOnDescriptor("ioctl", fd)) return -1;
  static auto real = Real<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, argument);
}

// The rate converter's calls, declared as its header has them but with its
// own types left opaque.
void* soxr_create(double in_rate, double out_rate, unsigned channels, const char** error,
                  const void* io, const void* quality, const void* runtime) {
  if (Fails("soxr_create", nullptr)) {
    if (error != nullptr) *error = "failed by the fault shim";
    return nullptr;
  }
  static auto real = Real<void* (*)(double, double, unsigned, const char**, const void*,
                                    const void*, const void*)>("soxr_create");
  return real(in_rate, out_rate, channels, error, io, quality, runtime);
}

const char* soxr_process(void* resampler, const void* in, size_t in_frames, size_t* in_done,
                         void* out, size_t out_frames, size_t* out_done) {
  if (Fails("soxr_process", nullptr)) {
    if (errno != ENODATA) return "failed by the fault shim";
    if (in_done != nullptr) *in_done = in_frames;
    *out_done = 0;
    return nullptr;
  }
  static auto real = Real<const char* (*)(void*, const void*, size_t, size_t*, void*, size_t,
                                          size_t*)>("soxr_process");
  return real(resampler, in, in_frames, in_done, out, out_frames, out_done);
}

}  // extern "C"
