// Bad inputs, end to end: one table, one row per damaged or hostile input,
// each run on the real binary in a fresh directory that already holds a good
// source a.wav and an earlier destination out.wav. A refused input must end
// with its exact message and status and leave every file as it was (no file
// changed, none left behind); an input the program accepts by design (it
// ignores the size fields, drops a partial last frame) must build exactly
// the destination the row gives, with the mode, owner and group of the file
// it replaced (or those of a new file).
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/destination_model.h"
#include "support/in_process.h"
#include "support/report.h"
#include "support/run_binary.h"
#include "support/snapshot.h"
#include "support/wav_fixture.h"
#include "wav/wav_file.h"

namespace {

using BinaryBadInput = fixture::RestoringTest;

using fixture::Bytes;
using fixture::Describe;
using fixture::Entry;
using fixture::Format;
using fixture::Names;
using fixture::Snapshot;
using fixture::Take;
using fixture::TempDir;
using fixture::WithField;
using Samples = std::vector<int32_t>;

constexpr Format kFormat{8000, 16, 2};
// Frames of every good source.
constexpr int32_t kFrames = 8;
// Where the header fields that the program ignores stand (byte offsets).
constexpr size_t kRiffSizeAt = 4;
constexpr size_t kDataSizeAt = 40;
// Where the sample rate stands (byte offset), and a rate whose bytes spell "data".
constexpr size_t kRateAt = 24;
constexpr uint32_t kSpellsData = 0x61746164;
// What the earlier destination holds: not a WAV file at all.
const Bytes kEarlierDestination = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
// The file-creation mask of every run.
constexpr mode_t kUmask = 022;
// User and group of the rows that need a user who is not root, when the
// tests run as root: the usual "nobody".
constexpr uid_t kNobody = 65534;
// Open files a run may hold in the row that limits them.
constexpr rlim_t kFileLimit = 64;

Samples SourceSamples(uint32_t seed) {
  return fixture::NoiseSamples(kFrames, kFormat.channels, kFormat.bits, seed);
}

// A canonical 16-bit stereo file at 8000 Hz of the samples.
Bytes Wav(const Samples& samples) { return fixture::WavBytes(kFormat, samples); }

const Samples kA = SourceSamples(1);  // a.wav
const Samples kB = SourceSamples(2);  // the source each row makes, b.wav and the like

// Returns the first `length` bytes of `bytes`.
Bytes Cut(const Bytes& bytes, size_t length) { return Bytes(bytes.begin(), bytes.begin() + long(length)); }

// What a run of one edit copying `frames` frames of `samples` to frame 0 builds.
Bytes BuiltFrom(const Samples& samples, int32_t frames) {
  Bytes destination = fixture::EmptyDestination(kFormat, frames);
  fixture::LayEdit(destination, kFormat, samples, 0, frames, 0, 0.0);
  return destination;
}

// The closing summary of a run in frames that built `frames` frames.
std::string Summary(const std::string& destination, int32_t frames, uint32_t rate = kFormat.rate) {
  return fixture::Report(true).Built(destination, std::to_string(frames), kFormat.bits,
                                     kFormat.channels, int(rate));
}

void Put(const TempDir& dir, const std::string& name, const Bytes& bytes) {
  fixture::WriteFile(dir.Path(name), bytes);
}

void PutText(const TempDir& dir, const std::string& name, const std::string& text) {
  fixture::WriteFile(dir.Path(name), Bytes(text.begin(), text.end()));
}

// Makes something in a row's directory.
using Maker = std::function<void(const TempDir&)>;

// Writes `source` as b.wav and a task (in frames) copying all of it to
// `destination`, after `place` has made what the destination names.
Maker OneSource(const Bytes& source, const std::string& destination = "out.wav",
                const Maker& place = nullptr) {
  return [destination, source, place](const TempDir& dir) {
    if (place) place(dir);
    Put(dir, "b.wav", source);
    PutText(dir, "task.txt", "using_samples\ndest\t" + destination + "\nsrc\tb.wav\n");
  };
}

// Makes `name` as `kind`: 'd' a directory, 'p' a FIFO, 'c' a device node
// (with the numbers of the system's null device, but in the test's own
// directory, so that nothing outside it is ever at stake), 'r' a file its
// owner may only read, 'l' a symbolic link to `target`, 'h' a hard link.
Maker Made(char kind, const std::string& name, const std::string& target = "") {
  return [kind, name, target](const TempDir& dir) {
    const std::string path = dir.Path(name);
    if (kind == 'r') Put(dir, name, kEarlierDestination);
    const int made = kind == 'd'   ? mkdir(path.c_str(), 0755)
                     : kind == 'p' ? mkfifo(path.c_str(), 0644)
                     : kind == 'c' ? mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3))
                     : kind == 'r' ? chmod(path.c_str(), 0444)
                     : kind == 'h' ? link(dir.Path(target).c_str(), path.c_str())
                                   : symlink(target.c_str(), path.c_str());
    ASSERT_EQ(made, 0) << path;
  };
}

// The task text padded with line feeds to exactly `size` bytes.
std::string PaddedTask(const std::string& text, size_t size) {
  return text + std::string(size - text.size(), '\n');
}

// A task in frames with `count` edits, one frame each, taken in turn from the
// first four frames of a.wav and appended one after the other.
std::string ManyEdits(int32_t count) {
  std::string text = "using_samples\ndest\tout.wav\n";
  for (int32_t k = 0; k < count; ++k) {
    text += "src\ta.wav\nxin\t" + std::to_string(k % 4) + "\nxout\t" + std::to_string(k % 4 + 1) + "\n";
  }
  return text;
}

Bytes BuiltFromManyEdits(int32_t count) {
  Bytes destination = fixture::EmptyDestination(kFormat, count);
  for (int32_t k = 0; k < count; ++k) fixture::LayEdit(destination, kFormat, kA, k % 4, 1, k, 0.0);
  return destination;
}

// A task whose first edit copies a.wav and whose 300 further edits each copy
// frame 0 of b.wav: enough report to fill the held pipe and splyce's buffer
// long before the last of them is written.
std::string LongRunOverB() {
  std::string text = "using_samples\ndest\tout.wav\nsrc\ta.wav\n";
  for (int k = 0; k < 300; ++k) text += "src\tb.wav\nxout\t1\n";
  return text;
}

// Binary noise: every byte value, tabs, line feeds and zero bytes included.
Bytes Garbage() {
  Bytes bytes;
  uint32_t state = 12345;
  for (int i = 0; i < 4096; ++i) {
    state = state * 1103515245u + 12345u;
    bytes.push_back(uint8_t(state >> 16));
  }
  return bytes;
}

struct Case {
  const char* input;                         // what is wrong with the input
  std::function<void(const TempDir&)> make;  // writes the task file and what it names
  std::vector<std::string> args;             // the command line after the program name
  int status;                                // the exit status
  std::string message;                       // exactly how standard output ends
  std::vector<std::string> unchanged;        // files that must keep their kind and bytes
  // Accepted by design: the destination and the bytes it must hold. Empty
  // for a refused input, after which every file must be as it was.
  std::string destination = "";
  Bytes built = {};
  // Done to the directory while splyce is held between planning and copying
  // (RunSplyceHeld); the path it changes, which is then expected as it left it.
  std::function<void(const TempDir&)> while_held = nullptr;
  std::string changed = "";
  std::optional<std::string> errors = std::nullopt;  // when set, all of standard error
  std::function<void()> in_child = nullptr;           // run in the run's process first
  // The owner the built destination has, where it is not the replaced file's.
  std::optional<uid_t> built_owner = std::nullopt;
  // Where a check ends otherwise than the run: a run that fails to make a
  // file it is allowed to make, which a check asks of the folder alone.
  std::optional<int> check_status = std::nullopt;
};

const std::vector<std::string> kTaskArgs = {"task.txt"};

// A row of an input the program refuses: every file must stay as it was.
Case Refused(const char* input, std::function<void(const TempDir&)> make,
             std::vector<std::string> args, int status, std::string message,
             std::vector<std::string> unchanged, std::optional<std::string> errors = {}) {
  return {input, std::move(make), std::move(args), status, std::move(message),
          std::move(unchanged), "", {}, nullptr, "", std::move(errors)};
}

// A row of an input the program accepts by design, with what it builds.
Case Accepted(const char* input, std::function<void(const TempDir&)> make,
              std::vector<std::string> args, std::string message,
              std::vector<std::string> unchanged, std::string destination, Bytes built) {
  return {input, std::move(make), std::move(args), 0, std::move(message), std::move(unchanged),
          std::move(destination), std::move(built)};
}

// A refused row whose input changes at `changed` while splyce is held
// between planning and copying.
Case ChangedMidRun(const char* input, std::function<void(const TempDir&)> make, int status,
                   std::string message, std::vector<std::string> unchanged,
                   std::function<void(const TempDir&)> while_held, std::string changed) {
  return {input, std::move(make), kTaskArgs, status, std::move(message), std::move(unchanged),
          "", {}, std::move(while_held), std::move(changed)};
}

// A row of a destination that must not be replaced: x.wav made as `kind`
// (see Made) and named as `destination`, that is x.wav, "x.wav/" or the link
// link.wav to it. The task copying a.wav there is refused before any edit.
Case RefusedDestination(const char* input, char kind, const std::string& destination) {
  const Maker make = [kind, destination](const TempDir& dir) {
    Made(kind, "x.wav")(dir);
    if (destination == "link.wav") Made('l', "link.wav", "x.wav")(dir);
    PutText(dir, "task.txt", "dest\t" + destination + "\nsrc\ta.wav\n");
  };
  return Refused(input, make, kTaskArgs, 2,
                 fixture::Report().Read(1).Line("Cannot create file " + destination + "\n"), {});
}

// A row of a destination named `named` that `place` makes ready: all of b.wav
// is built at `built_at` (`named` itself, or the file its link names).
Case BuiltThrough(const char* input, const std::string& named, const Maker& place,
                  const std::string& built_at) {
  return Accepted(input, OneSource(Wav(kB), named, place), kTaskArgs, Summary(named, kFrames),
                  {"b.wav"}, built_at, BuiltFrom(kB, kFrames));
}

// Writes b.wav and a task copying all of it to out.wav converted by `format`
// (a format line's values).
Maker ConvertedSource(const std::string& format) {
  return [format](const TempDir& dir) {
    Put(dir, "b.wav", Wav(kB));
    PutText(dir, "task.txt", "using_samples\ndest\tout.wav\nformat\t" + format + "\nsrc\tb.wav\n");
  };
}

// A row of b.wav converted to 24 bits at its own rate, built whatever file
// the conversion is made in: b's samples shifted by 8 bits.
Case BuiltConverted(const char* input) {
  const Format f{kFormat.rate, 24, 2};
  Samples shifted = kB;
  for (int32_t& v : shifted) v *= 256;
  Bytes built = fixture::EmptyDestination(f, kFrames);
  fixture::LayEdit(built, f, shifted, 0, kFrames, 0, 0.0);
  return Accepted(input, ConvertedSource("8000\t24\t2"), kTaskArgs,
                  "\tBits 24\n\tChannels 2\n\tSample rate 8000\n\n", {"b.wav"}, "out.wav", built);
}

// A refused row of b.wav converted to `rate` and `bits` (stereo), and, when
// given, the error after the note that says so.
Case RefusedConversion(const char* input, int rate, int bits, std::string message,
                       std::optional<std::string> error = {}) {
  const std::string to = std::to_string(rate) + " Hz " + std::to_string(bits) + "-bit";
  if (error) {
    error = "task.txt:4: note: task 1 (\"b.wav\") is converted from 8000 Hz 16-bit integer, 2 "
            "channels to " + to + " integer, 2 channels\n" + *error;
  }
  return Refused(input, ConvertedSource(std::to_string(rate) + "\t" + std::to_string(bits) + "\t2"),
                 kTaskArgs, 2, std::move(message), {"out.wav", "b.wav"}, std::move(error));
}

// The row of a run that fails to make or write a file a check finds it may
// make: the check, which makes none, passes.
Case CheckPasses(Case c) {
  c.check_status = 0;
  return c;
}

// The row run as a user who is not root, in a directory that user owns:
// "nobody" when the tests run as root.
Case AsOtherUser(Case c) {
  const Maker make = c.make;
  c.make = [make](const TempDir& dir) {
    make(dir);
    if (geteuid() != 0) return;
    ASSERT_EQ(lchown(dir.path.c_str(), kNobody, kNobody), 0);
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path)) {
      ASSERT_EQ(lchown(e.path().c_str(), kNobody, kNobody), 0);
    }
  };
  c.in_child = [] {
    if (geteuid() == 0 && (setgroups(0, nullptr) || setgid(kNobody) || setuid(kNobody))) _exit(127);
  };
  return c;
}

// The row with the system calls `rules` names failing in the run (see
// support/fault_shim.cpp), after what the row's run does first.
Case WithFaults(Case c, const std::string& rules) {
  c.in_child = fixture::WithFaults(rules, c.in_child);
  return c;
}

// The row with the run's report going to the file `name` in its directory
// (made by the row).
Case ReportTo(const std::string& name, Case c) {
  c.in_child = [name] {
    const int fd = open(name.c_str(), O_WRONLY);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(127);
  };
  return c;
}

// The row run with a limit on the size of the files it writes below the
// destination's size (about 100 bytes).
Case WithFileSizeLimit(Case c) {
  c.in_child = [] {
    const rlimit limit = {64, 64};  // bytes
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
  };
  return c;
}

// Where a file system has no unnamed files: the build file and the clip get
// names of their own.
const char kNoUnnamedFiles[] = "open:EOPNOTSUPP:flags=tmpfile";

// A user other than the one the run is made as ("daemon"), whose files the
// run must not touch.
constexpr uid_t kThirdUser = 1;

// The row run as "nobody" in a working directory shared by every user, as a
// folder of mode 1777 is, that holds what `plant` places there as another
// user's; the task's own files are the run's user's.
Case InSharedFolder(Case c, const Maker& plant) {
  const Maker make = c.make;
  c.make = [make, plant](const TempDir& dir) {
    make(dir);
    for (const auto& e : std::filesystem::directory_iterator(dir.path)) {
      ASSERT_EQ(lchown(e.path().c_str(), kNobody, kNobody), 0);
    }
    plant(dir);
    ASSERT_EQ(chmod(dir.path.c_str(), 01777), 0);
  };
  c.in_child = AsOtherUser(c).in_child;
  return c;
}

// Places `name` as another user's symbolic link to that user's file
// victim.bin, which anyone may write: a run that follows the link changes it.
Maker PlantedLink(const std::string& name) {
  return [name](const TempDir& dir) {
    Put(dir, "victim.bin", kEarlierDestination);
    ASSERT_EQ(chmod(dir.Path("victim.bin").c_str(), 0666), 0);
    ASSERT_EQ(symlink("victim.bin", dir.Path(name).c_str()), 0);
    ASSERT_EQ(lchown(dir.Path("victim.bin").c_str(), kThirdUser, kThirdUser), 0);
    ASSERT_EQ(lchown(dir.Path(name).c_str(), kThirdUser, kThirdUser), 0);
  };
}

// Places another user's FIFO named `name`: opening it would wait for ever.
Maker PlantedFifo(const std::string& name) {
  return [name](const TempDir& dir) {
    ASSERT_EQ(mkfifo(dir.Path(name).c_str(), 0666), 0);
    ASSERT_EQ(lchown(dir.Path(name).c_str(), kThirdUser, kThirdUser), 0);
  };
}

// A task in frames that lays b.wav at frame 4 over all of a.wav with a 4-frame
// linear crossfade (0.5 ms at 8000 Hz), and what it builds.
const char kCrossfadedTask[] = "using_samples\ndest\tout.wav\nsrc\ta.wav\nsrc\tb.wav\nins\t4\nxf\t0.5\t2\n";
Bytes BuiltWithCrossfade() {
  Bytes destination = fixture::EmptyDestination(kFormat, 12);
  fixture::LayEdit(destination, kFormat, kA, 0, kFrames, 0, 0.0);
  const Samples before = fixture::DecodeSamples(Bytes(destination.begin() + 44, destination.end()), 16);
  const Samples clip = fixture::ReferenceClip(kFormat, {4, 2, 0.0}, 4, 0, before, kB);
  fixture::LayEdit(destination, kFormat, kB, 0, kFrames, 4, 0.0);
  fixture::LayEdit(destination, kFormat, clip, 0, 4, 2, 0.0);
  return destination;
}

// Writes b.wav and the crossfaded task.
void CrossfadedTask(const TempDir& dir) {
  Put(dir, "b.wav", Wav(kB));
  PutText(dir, "task.txt", kCrossfadedTask);
}

// A built row of the crossfaded task.
Case BuiltCrossfaded(const char* input) {
  return Accepted(input, CrossfadedTask, kTaskArgs, Summary("out.wav", 12), {"a.wav", "b.wav"},
                  "out.wav", BuiltWithCrossfade());
}

// Gives out.wav an access control list that lets one more user read it, and
// an extended attribute of the user's own.
void GiveAclAndAttribute(const TempDir& dir) {
  // user::rw-, user:65534:r--, group::---, mask::r--, other::--- in the
  // kernel's form: a version, then tag, permissions and id of each entry.
  const uint32_t acl[] = {2, 0x00060001, 0xFFFFFFFF, 0x00040002, kNobody,
                          0x00000004, 0xFFFFFFFF, 0x00040010, 0xFFFFFFFF, 0x00000020, 0xFFFFFFFF};
  const std::string path = dir.Path("out.wav");
  ASSERT_EQ(setxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl, 0), 0);
  ASSERT_EQ(setxattr(path.c_str(), "user.take", "take 3", 6, 0), 0);
}

std::vector<Case> Cases() {
  const Bytes b = Wav(kB);
  const std::string kNoData = "Can't find data block in wave file!\n";
  const std::string kNoFmt = "Can't find format chunk in wave file!\n";
  const std::vector<std::string> kKept = {"out.wav", "b.wav"};
  // A 9-byte chunk without its pad byte before the data chunk puts its tag at 53.
  const Bytes odd_tag = fixture::MakeWav(fixture::WavSpec{8000, 16, 2, 1, 9},
                                         fixture::EncodeSamples(kB, kFormat.bits));
  const auto b_then_long_task = [](const TempDir& dir) {
    Put(dir, "b.wav", Wav(kB));
    PutText(dir, "task.txt", LongRunOverB());
  };
  const std::string kStart = "using_samples\ndest\tout.wav\nsrc\ta.wav\n";
  std::vector<Case> cases = {
      // Truncated and short files.
      Refused("a WAV of only its 44-byte header: an empty read is a bad range",
              OneSource(Cut(b, 44)), kTaskArgs, 1, "Edit start/stop set incorrectly for b.wav\n",
              kKept),
      Accepted("a WAV ending inside a frame: accepted, the partial frame is dropped",
               OneSource(Cut(b, kHeaderBytes + 5 * 4 + 3)), kTaskArgs, Summary("out.wav", 5),
               {"b.wav"}, "out.wav", BuiltFrom(kB, 5)),
      Refused("a WAV ending inside the data size field", OneSource(Cut(b, 42)), kTaskArgs, 1,
              "Edit start/stop set incorrectly for b.wav\n", kKept),
      Refused("a WAV ending inside the data tag", OneSource(Cut(b, 38)), kTaskArgs, 2, kNoData,
              kKept, "splyce: error: \"b.wav\": no \"data\" chunk found: save it again as a plain "
                     "PCM WAV file\n"),
      Refused("an MP3 file named .wav",
              OneSource({'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0x21, 'T', 'I', 'T', '2', 0}), kTaskArgs,
              2, kNoFmt + kNoData, kKept,
              "splyce: warning: \"b.wav\": no \"fmt\" chunk found, so its format is read from "
              "byte 131072 instead\nsplyce: error: \"b.wav\" is not a RIFF/WAVE file: it starts "
              "with \"ID3\\x04\\x00\\x00\\x00\\x00\\x00!TI\", so it has no \"data\" chunk: convert "
              "it to a PCM WAV file\n"),
      Refused("a WAV ending inside the fmt chunk", OneSource(Cut(b, 20)), kTaskArgs, 2, kNoData,
              kKept),
      // Two lines: in the design the format warning goes on to the refusal.
      Refused("a zero-length source", OneSource({}), kTaskArgs, 2, kNoFmt + kNoData, kKept),
      Refused("a data tag at an odd offset only, after a chunk without its pad byte",
              OneSource(odd_tag), kTaskArgs, 2, kNoData, kKept),
      // Size fields that lie: the RIFF size is never read, and a data size
      // that is 0 or runs past the end of the file leaves the audio running
      // to the end of the file, so each builds what the honest file builds.
      Accepted("a RIFF size too large: accepted", OneSource(WithField(b, kRiffSizeAt, 0xFFFFFFFF)),
               kTaskArgs, Summary("out.wav", kFrames), {"b.wav"}, "out.wav", BuiltFrom(kB, kFrames)),
      Accepted("a RIFF size too small: accepted", OneSource(WithField(b, kRiffSizeAt, 4)),
               kTaskArgs, Summary("out.wav", kFrames), {"b.wav"}, "out.wav", BuiltFrom(kB, kFrames)),
      Accepted("a RIFF size of zero: accepted", OneSource(WithField(b, kRiffSizeAt, 0)),
               kTaskArgs, Summary("out.wav", kFrames), {"b.wav"}, "out.wav", BuiltFrom(kB, kFrames)),
      Accepted("a data size too large: accepted", OneSource(WithField(b, kDataSizeAt, 0x7FFFFFF0)),
               kTaskArgs, Summary("out.wav", kFrames), {"b.wav"}, "out.wav", BuiltFrom(kB, kFrames)),
      Accepted("a data size too small: accepted, the audio ends with the data chunk",
               OneSource(WithField(b, kDataSizeAt, 4)), kTaskArgs, Summary("out.wav", 1),
               {"b.wav"}, "out.wav", BuiltFrom(kB, 1)),
      Accepted("a data size of zero: accepted", OneSource(WithField(b, kDataSizeAt, 0)),
               kTaskArgs, Summary("out.wav", kFrames), {"b.wav"}, "out.wav", BuiltFrom(kB, kFrames)),
      // A rate whose bytes spell "data" before the header's data chunk: the
      // chunk walk is not misled, in the source or in the destination.
      // 4 x the rate is 0x85D18590, past 2^31: the header writes it
      // unsigned, as the byte rate's bytes 90 85 D1 85.
      Accepted("a sample rate that spells \"data\": accepted",
               OneSource(WithField(b, kRateAt, kSpellsData)), kTaskArgs,
               Summary("out.wav", kFrames, kSpellsData), {"b.wav"}, "out.wav",
               WithField(WithField(BuiltFrom(kB, kFrames), kRateAt, kSpellsData), kRateAt + 4,
                         0x85D18590)),
      Refused("a sample rate of 0", OneSource(WithField(b, kRateAt, 0)), kTaskArgs, 1,
              "Unsupported sample rate in b.wav: 0 Hz\n", kKept),
      Refused("a sample rate that is negative as a signed value",
              OneSource(WithField(b, kRateAt, 0x80000000)), kTaskArgs, 1,
              "Unsupported sample rate in b.wav: -2147483648 Hz\n", kKept),
      // Directories where files belong.
      Refused("a directory as a source",
              [](const TempDir& dir) {
                ASSERT_EQ(mkdir(dir.Path("b.wav").c_str(), 0755), 0);
                PutText(dir, "task.txt", "dest\tout.wav\nsrc\tb.wav\n");
              },
              kTaskArgs, 2, "Cannot find file in track list called b.wav!!\n", kKept),
      RefusedDestination("a directory as the destination: refused before any edit", 'd', "x.wav"),
      RefusedDestination("a destination ending in a slash", 'd', "x.wav/"),
      Refused("a directory as the task file",
              [](const TempDir& dir) { ASSERT_EQ(mkdir(dir.Path("tasks").c_str(), 0755), 0); },
              {"tasks"}, 1, "Cannot read file tasks that holds your instructions\n",
              {"tasks", "out.wav"}),
      // FIFOs: opened without waiting for a writer, then refused.
      Refused("a FIFO as a source",
              [](const TempDir& dir) {
                ASSERT_EQ(mkfifo(dir.Path("b.wav").c_str(), 0644), 0);
                PutText(dir, "task.txt", "dest\tout.wav\nsrc\tb.wav\n");
              },
              kTaskArgs, 2, "Cannot find file in track list called b.wav!!\n", kKept),
      RefusedDestination("a FIFO as the destination", 'p', "x.wav"),
      RefusedDestination("a link to a FIFO as the destination", 'p', "link.wav"),
      Refused("a FIFO as the task file",
              [](const TempDir& dir) { ASSERT_EQ(mkfifo(dir.Path("task.fifo").c_str(), 0644), 0); },
              {"task.fifo"}, 1, "Cannot read file task.fifo that holds your instructions\n",
              {"task.fifo", "out.wav"}),
      // A source that changes between planning and copying: planning has
      // read b.wav, and the change comes while the first edits are written.
      ChangedMidRun("a source that disappears between planning and copying", b_then_long_task, 2,
                    "Cannot open file b.wav\n", {"out.wav", "a.wav"},
                    [](const TempDir& dir) { ASSERT_EQ(unlink(dir.Path("b.wav").c_str()), 0); },
                    "b.wav"),
      // The replacements are renamed into place, so that the run never
      // finds the name missing in between.
      ChangedMidRun("a source replaced by another WAV file between planning and copying",
                    b_then_long_task, 2, "Cannot read file b.wav\n", {"out.wav", "a.wav"},
                    [](const TempDir& dir) {
                      Put(dir, "other.wav", Wav(kA));
                      ASSERT_EQ(rename(dir.Path("other.wav").c_str(), dir.Path("b.wav").c_str()), 0);
                    },
                    "b.wav"),
      ChangedMidRun("a source grown between planning and copying, its time of change kept",
                    b_then_long_task, 2, "Cannot read file b.wav\n", {"out.wav", "a.wav"},
                    [](const TempDir& dir) {
                      struct stat was;
                      ASSERT_EQ(stat(dir.Path("b.wav").c_str(), &was), 0);
                      Bytes grown = fixture::ReadFile(dir.Path("b.wav"));
                      grown.resize(grown.size() + 4, 0);
                      Put(dir, "b.wav", grown);
                      const timespec times[2] = {was.st_atim, was.st_mtim};
                      ASSERT_EQ(utimensat(AT_FDCWD, dir.Path("b.wav").c_str(), times, 0), 0);
                    },
                    "b.wav"),
      ChangedMidRun("a source replaced by a FIFO between planning and copying", b_then_long_task,
                    2, "Cannot read file b.wav\n", {"out.wav", "a.wav"},
                    [](const TempDir& dir) {
                      ASSERT_EQ(mkfifo(dir.Path("b.fifo").c_str(), 0644), 0);
                      ASSERT_EQ(rename(dir.Path("b.fifo").c_str(), dir.Path("b.wav").c_str()), 0);
                    },
                    "b.wav"),
      // Names.
      Accepted("paths with spaces: accepted",
               [](const TempDir& dir) {
                 Put(dir, "my take.wav", Wav(kB));
                 PutText(dir, "my task.txt", "using_samples\ndest\tout put.wav\nsrc\tmy take.wav\n");
               },
               {"my task.txt"}, Summary("out put.wav", kFrames), {"my take.wav", "out.wav"},
               "out put.wav", BuiltFrom(kB, kFrames)),
      Accepted("paths with bytes that are not UTF-8: accepted",
               [](const TempDir& dir) {
                 Put(dir, "\xe9t\xe9.wav", Wav(kB));
                 PutText(dir, "t\xe2\xff.txt",
                         "using_samples\ndest\t\xff\xfe out.wav\nsrc\t\xe9t\xe9.wav\n");
               },
               {"t\xe2\xff.txt"}, Summary("\xff\xfe out.wav", kFrames), {"\xe9t\xe9.wav", "out.wav"},
               "\xff\xfe out.wav", BuiltFrom(kB, kFrames)),
      Refused("a missing source whose name is not UTF-8: named byte for byte",
              [](const TempDir& dir) {
                PutText(dir, "task.txt", "dest\tout.wav\nsrc\t\xff\xfe gone.wav\n");
              },
              kTaskArgs, 2, "Cannot find file in track list called \xff\xfe gone.wav!!\n",
              {"out.wav"}),
      // Sizes and counts at their limits.
      Accepted("a task file of exactly 65,536 bytes: accepted",
               [kStart](const TempDir& dir) { PutText(dir, "task.txt", PaddedTask(kStart, 65536)); },
               kTaskArgs, Summary("out.wav", kFrames), {"a.wav"}, "out.wav", BuiltFrom(kA, kFrames)),
      Refused("a task file of 65,537 bytes",
              [kStart](const TempDir& dir) { PutText(dir, "task.txt", PaddedTask(kStart, 65537)); },
              kTaskArgs, 1, "Task file task.txt is larger than 65536 bytes\n",
              {"out.wav", "task.txt"}),
      Accepted("512 sources: accepted",
               [](const TempDir& dir) { PutText(dir, "task.txt", ManyEdits(512)); }, kTaskArgs,
               Summary("out.wav", 512), {"a.wav"}, "out.wav", BuiltFromManyEdits(512)),
      Refused("513 sources", [](const TempDir& dir) { PutText(dir, "task.txt", ManyEdits(513)); },
              kTaskArgs, 1, "Too many source tracks: at most 512\n", {"out.wav", "a.wav"}),
      Refused("binary garbage as the task file",
              [](const TempDir& dir) { Put(dir, "task.txt", Garbage()); }, kTaskArgs, 1,
              "Task file task.txt holds a zero byte at line 3\n", {"out.wav", "a.wav"}),
      // Destinations that cannot be written.
      Refused("a destination in a directory that does not exist",
              [](const TempDir& dir) {
                PutText(dir, "task.txt", "dest\tnone/out.wav\nsrc\ta.wav\n");
              },
              kTaskArgs, 2, "Cannot create file none/out.wav\n", {"out.wav", "a.wav"}),
      Refused("a destination that is a symbolic link to a source",
              [](const TempDir& dir) {
                ASSERT_EQ(symlink("a.wav", dir.Path("link.wav").c_str()), 0);
                PutText(dir, "task.txt", "dest\tlink.wav\nsrc\ta.wav\n");
              },
              kTaskArgs, 1, "Destination link.wav is also a source track\n", {"link.wav", "a.wav"}),
      AsOtherUser(RefusedDestination("a read-only destination, as a user who is not root", 'r',
                                     "x.wav")),
      // Destinations that are replaced with care.
      AsOtherUser(BuiltThrough("a writable destination in a read-only folder: built in place",
                               "ro/out.wav",
                               [](const TempDir& dir) {
                                 Made('d', "ro")(dir);
                                 Put(dir, "ro/out.wav", kEarlierDestination);
                                 ASSERT_EQ(chmod(dir.Path("ro").c_str(), 0555), 0);
                               },
                               "ro/out.wav")),
      BuiltThrough("a destination with its own mode, owner and group and a second hard link: "
                   "all three kept, and replaced under its own name only", "out.wav",
                   [](const TempDir& dir) {
                     Made('h', "other.wav", "out.wav")(dir);
                     ASSERT_EQ(chmod(dir.Path("out.wav").c_str(), 0640), 0);
                     if (geteuid() == 0) {
                       ASSERT_EQ(chown(dir.Path("out.wav").c_str(), kNobody, kNobody), 0);
                     }
                   },
                   "out.wav"),
      BuiltThrough("a destination that is a symbolic link: the file it names is replaced",
                   "link.wav", Made('l', "link.wav", "out.wav"), "out.wav"),
      BuiltThrough("a destination that is a link to a file not made yet: made where it points",
                   "link.wav", Made('l', "link.wav", "new.wav"), "new.wav"),
      // The run may hold only kFileLimit open files (set below).
      Accepted("more entries than the run may open files: accepted",
               [](const TempDir& dir) { PutText(dir, "task.txt", ManyEdits(100)); }, kTaskArgs,
               Summary("out.wav", 100), {"a.wav"}, "out.wav", BuiltFromManyEdits(100)),
  };
  cases.back().in_child = [] {
    const rlimit limit = {kFileLimit, kFileLimit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
  };
  const std::string long_name(250, 'n');
  const std::vector<Case> failing_calls = {
      // Files the run cannot make or write: refused, never built in place.
      WithFaults(Refused("a destination folder out of inodes: refused, not built in place",
                         OneSource(Wav(kB)), kTaskArgs, 2, "Cannot create file out.wav\n", kKept,
                         "splyce: error: \"out.wav\" cannot be created: No space left on device\n"),
                 "open:ENOSPC:flags=tmpfile"),
      CheckPasses(WithFaults(Refused("a destination folder out of inodes, and no unnamed files",
                                     OneSource(Wav(kB)), kTaskArgs, 2,
                                     "Cannot create file out.wav\n", kKept),
                             std::string(kNoUnnamedFiles) + ";open:ENOSPC:flags=creat")),
      Refused("a destination whose name, links followed, is too long for its folder",
              OneSource(Wav(kB), "link.wav", Made('l', "link.wav", long_name + ".wav")), kTaskArgs,
              2, "Cannot create file link.wav\n", kKept),
      WithFaults(Refused("a crossfade clip without room: no file of another name tried",
                         [](const TempDir& dir) {
                           Made('d', "sub")(dir);
                           Put(dir, "b.wav", Wav(kB));
                           std::string task = kCrossfadedTask;
                           PutText(dir, "task.txt", task.replace(task.find("out.wav"), 7, "sub/out.wav"));
                         },
                         kTaskArgs, 2, "Cannot create file xfade_temp.wav\n", kKept,
                         "splyce: error: the crossfade work file cannot be made in the working "
                         "directory: No space left on device\n"),
                 "open:ENOSPC:flags=tmpfile:path=."),
      WithFaults(Refused("a crossfade clip that cannot be written whole", CrossfadedTask, kTaskArgs,
                         2, "Cannot write file xfade_temp.wav\n", kKept),
                 std::string(kNoUnnamedFiles) + ";pwrite:ENOSPC:path=xfade_temp"),
      WithFaults(Refused("a source whose read fails", OneSource(Wav(kB)), kTaskArgs, 2,
                         "Cannot read file b.wav\n", kKept,
                         "splyce: error: \"b.wav\" could not be read: Input/output error\n"),
                 "pread:EIO:path=b.wav:after=3"),
      WithFaults(Refused("a destination that cannot be flushed to the disk", OneSource(Wav(kB)),
                         kTaskArgs, 2, "Cannot write file out.wav\n", kKept),
                 "fdatasync:EIO"),
      WithFaults(Refused("a destination that cannot be renamed into place, nothing left beside it",
                         OneSource(Wav(kB)), kTaskArgs, 2, "Cannot create file out.wav\n", kKept),
                 "rename:EIO"),
      CheckPasses(WithFileSizeLimit(Refused("a file-size limit below the destination's size: "
                                            "named in the message", OneSource(Wav(kB)), kTaskArgs,
                                            2, "Cannot write file out.wav\n", kKept))),
      // Sources converted: the file they are converted in cannot be made or
      // written, the source cannot be read, the rate converter fails.
      CheckPasses(WithFaults(RefusedConversion("a conversion file that cannot be made: refused first", 8000, 24,
                                   fixture::Report(true).Read(1).Line(
                                       "Cannot create file convert_temp.wav\n"),
                                   "splyce: error: convert_temp.wav, the file sources are converted "
                                   "in, cannot be made in the working directory: No space left on "
                                   "device\n"),
                 std::string(kNoUnnamedFiles) + ";open:ENOSPC:path=convert_temp")),
      WithFaults(RefusedConversion("a conversion file without room: refused first, by a check too",
                                   8000, 24,
                                   fixture::Report(true).Read(1).Line(
                                       "Cannot create file convert_temp.wav\n"),
                                   "splyce: error: convert_temp.wav, the file sources are converted "
                                   "in, cannot be made in the working directory: No space left on "
                                   "device\n"),
                 "open:ENOSPC:flags=tmpfile"),
      WithFaults(RefusedConversion("a conversion file that cannot be written", 8000, 24,
                                   "Cannot write file convert_temp.wav\n",
                                   "splyce: error: \"convert_temp.wav\" could not be written: No "
                                   "space left on device\n"),
                 std::string(kNoUnnamedFiles) + ";pwrite:ENOSPC:path=convert_temp"),
      WithFaults(RefusedConversion("a source whose read fails as it is converted", 8000, 24,
                                   "Cannot read file b.wav\n"),
                 "pread:EIO:path=b.wav:after=3"),
#ifdef SPLYCE_HAVE_SOXR
      WithFaults(RefusedConversion("a rate converter that cannot be made", 16000, 16,
                                   "Cannot convert b.wav from 8000 Hz to 16000 Hz\n",
                                   "splyce: error: \"b.wav\" could not be converted from 8000 Hz to "
                                   "16000 Hz: the rate converter failed\n"),
                 "soxr_create:EIO"),
      WithFaults(RefusedConversion("a rate converter that fails", 16000, 16,
                                   "Cannot convert b.wav from 8000 Hz to 16000 Hz\n"),
                 "soxr_process:EIO:after=2"),
      WithFaults(RefusedConversion("a rate converter that loses frames", 16000, 16,
                                   "Cannot convert b.wav from 8000 Hz to 16000 Hz\n"),
                 "soxr_process:ENODATA"),
#endif
      // Plans and drawings that cannot be made or written: refused with
      // the destination as it was, an earlier plan whole.
      Refused("a plan that would replace a source", OneSource(Wav(kB)),
              {"--plan", "b.wav", "task.txt"}, 1, "Output file b.wav is a file of the task\n",
              kKept, "splyce: error: --plan \"b.wav\" would replace a source of the task: give "
                     "--plan another file\n"),
      Refused("a drawing that would replace the task file", OneSource(Wav(kB)),
              {"--draw", "./task.txt", "task.txt"}, 1,
              "Output file ./task.txt is a file of the task\n", kKept),
      Refused("a plan that names a folder", OneSource(Wav(kB), "out.wav", Made('d', "plans")),
              {"--plan", "plans", "task.txt"}, 2, "Cannot create file plans\n", kKept,
              "splyce: error: \"plans\" cannot be created: it is not a regular file\n"),
      Refused("a drawing whose folder does not exist: refused before the build",
              OneSource(Wav(kB)), {"--draw", "none/run.svg", "task.txt"}, 2,
              fixture::Report(true).Read(1).Line("Cannot create file none/run.svg\n"), kKept,
              "splyce: error: \"none/run.svg\" cannot be created: No such file or directory\n"),
      WithFaults(Refused("a plan that cannot be made", OneSource(Wav(kB)),
                         {"--plan", "plan.json", "task.txt"}, 2, "Cannot create file plan.json\n",
                         kKept),
                 "open:ENOSPC:path=plan.json"),
      WithFaults(Refused("a plan that cannot be written to the disk", OneSource(Wav(kB)),
                         {"--plan", "plan.json", "task.txt"}, 2, "Cannot write file plan.json\n",
                         kKept, "splyce: error: \"plan.json\" could not be written: "
                                "Input/output error\n"),
                 "fsync:EIO:path=plan.json"),
      WithFaults(Refused("a plan that cannot take its name: the earlier one whole",
                         OneSource(Wav(kB), "out.wav",
                                   [](const TempDir& dir) { Put(dir, "plan.json", kEarlierDestination); }),
                         {"--plan", "plan.json", "task.txt"}, 2, "Cannot write file plan.json\n",
                         {"out.wav", "plan.json"}),
                 "rename:EIO:path=plan.json"),
      WithFaults(Refused("a drawing whose destination cannot be read back", OneSource(Wav(kB)),
                         {"--draw", "run.svg", "task.txt"}, 2, "Cannot read file out.wav\n", kKept),
                 std::string(kNoUnnamedFiles) + ";pread:EIO:path=out.wav."),
      // Fallbacks that build.
      WithFaults(BuiltConverted("no unnamed files: sources converted in a file of the run's own "
                                "name, the name taken passed over"),
                 std::string(kNoUnnamedFiles) + ";open:EEXIST:path=convert_temp:times=1"),
      WithFaults(BuiltThrough("no unnamed files: built in a named file beside the destination",
                              "out.wav", nullptr, "out.wav"),
                 kNoUnnamedFiles),
      WithFaults(BuiltCrossfaded("no unnamed files and no lock: clips under names of their own"),
                 std::string(kNoUnnamedFiles) + ";flock:ENOLCK"),
      BuiltThrough("a destination with set-ID bits: kept", "out.wav",
                   [](const TempDir& dir) { ASSERT_EQ(chmod(dir.Path("out.wav").c_str(), 02775), 0); },
                   "out.wav"),
      BuiltThrough("a destination with an access control list and an extended attribute: kept",
                   "out.wav", GiveAclAndAttribute, "out.wav"),
      BuiltThrough("a relative dangling link in a sub-folder: the file made where it points",
                   "sub/link.wav",
                   [](const TempDir& dir) {
                     Made('d', "sub")(dir);
                     Made('l', "sub/link.wav", "new.wav")(dir);
                   },
                   "sub/new.wav"),
  };
  cases.insert(cases.end(), failing_calls.begin(), failing_calls.end());
  if (geteuid() != 0) {
    std::printf("Device nodes, other users' files and ownership not tested: they need root\n");
    return cases;
  }
  cases.push_back(RefusedDestination("a device node as the destination", 'c', "x.wav"));
  cases.push_back(RefusedDestination("a link to a device node as destination", 'c', "link.wav"));
  cases.push_back(ReportTo("full", Refused(
      "a report that cannot be written (a full device): the destination stays as it was",
      [](const TempDir& dir) {
        OneSource(Wav(kB))(dir);
        ASSERT_EQ(mknod(dir.Path("full").c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
      },
      kTaskArgs, 2, "", kKept,
      "splyce: error: the report could not be written to standard output: No space left on "
      "device\n")));
  // Other users' files in a folder every user may write (mode 1777).
  for (const char* faults : {"", kNoUnnamedFiles}) {
    cases.push_back(WithFaults(
        InSharedFolder(BuiltCrossfaded("another user's link named xfade_temp.wav in a shared "
                                       "folder: never followed"),
                       PlantedLink("xfade_temp.wav")),
        faults));
    cases.push_back(WithFaults(
        InSharedFolder(BuiltCrossfaded("another user's FIFO named xfade_temp.wav in a shared "
                                       "folder: never opened"),
                       PlantedFifo("xfade_temp.wav")),
        faults));
  }
  cases.push_back(InSharedFolder(
      Refused("another user's file in a shared folder as the destination: refused before any edit",
              OneSource(Wav(kB), "x.wav"), kTaskArgs, 2, "Cannot create file x.wav\n", {},
              "splyce: error: \"x.wav\" cannot be created: it is a file you may not replace: it "
              "belongs to another user, in a folder where only a file's owner may replace it\n"),
      [](const TempDir& dir) {
        Put(dir, "x.wav", kEarlierDestination);
        ASSERT_EQ(chmod(dir.Path("x.wav").c_str(), 0666), 0);
        ASSERT_EQ(lchown(dir.Path("x.wav").c_str(), kThirdUser, kThirdUser), 0);
      }));
  cases.push_back(AsOtherUser(Refused(
      "a writable destination in a read-only working folder, with crossfades: the work file "
      "cannot be made, and the destination is not touched",
      [](const TempDir& dir) {
        CrossfadedTask(dir);
        ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
      },
      kTaskArgs, 2, "Cannot create file xfade_temp.wav\n", {"out.wav"})));
  cases.push_back(AsOtherUser(Refused(
      "a source the user may not read: refused with the reason",
      [](const TempDir& dir) {
        OneSource(Wav(kB))(dir);
        ASSERT_EQ(chmod(dir.Path("b.wav").c_str(), 0), 0);
      },
      kTaskArgs, 2, "Cannot find file in track list called b.wav!!\n", kKept,
      "task.txt:3: error: task 1 (\"b.wav\"): the source cannot be opened: Permission denied (a "
      "source's path starts from the working directory, \"DIR\")\n")));
  Case group_only = WithFaults(
      BuiltThrough("a destination whose owner cannot be kept: its group kept alone", "out.wav",
                   [](const TempDir& dir) {
                     ASSERT_EQ(chown(dir.Path("out.wav").c_str(), kNobody, kNobody), 0);
                   },
                   "out.wav"),
      "fchown:EPERM:times=1");
  group_only.built_owner = geteuid();
  cases.push_back(group_only);
  return cases;
}

// A check ends as its run did where the run ended before its first edit,
// else with status 0 and the report of the whole plan; a run that built
// reported what the check planned.
void ExpectCheckAgrees(const fixture::RunResult& checked, const fixture::RunResult& run,
                       std::optional<int> check_status) {
  const bool edited = run.output.find("\nTask ") != std::string::npos;
  if (check_status) {
    EXPECT_EQ(checked.status, *check_status);
  } else if (run.status == 0) {
    EXPECT_EQ(checked.output, fixture::PlannedReport(run.output));
    EXPECT_EQ(checked.status, 0);
  } else if (edited) {
    EXPECT_EQ(checked.status, 0) << checked.output;
  } else {
    EXPECT_EQ(checked.output, run.output);
    EXPECT_EQ(checked.status, run.status);
  }
}

TEST_F(BinaryBadInput, EndsWithItsMessageAndStatusAndChangesNothingUnlessItSucceeds) {
  umask(kUmask);  // put back after the test
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.input);
    TempDir dir;
    Put(dir, "a.wav", Wav(kA));
    Put(dir, "out.wav", kEarlierDestination);
    c.make(dir);
    if (testing::Test::HasFatalFailure()) return;
    Snapshot before = Take(dir.path);
    // Checked first, unless the row writes a plan or a drawing, which a
    // check writes too.
    std::vector<std::string> check_args = {"--check"};
    check_args.insert(check_args.end(), c.args.begin(), c.args.end());
    const bool writes = c.args[0] == "--plan" || c.args[0] == "--draw";
    const fixture::RunResult checked =
        writes ? fixture::RunResult{} : fixture::RunSplyceIn(dir.path, check_args, c.in_child);
    EXPECT_TRUE(Take(dir.path) == before) << "--check changed the folder";
    fixture::RunResult r;
    if (c.while_held) {
      bool held = false;
      r = fixture::RunSplyceHeld(dir.path, c.args, [&](int) {
        c.while_held(dir);
        const std::string path = dir.Path(c.changed);
        if (fixture::FileExists(path)) {
          before[c.changed] = Describe(path);
        } else {
          before.erase(c.changed);
        }
      }, &held);
      EXPECT_TRUE(held) << "splyce ended before it filled the pipe";
    } else {
      r = fixture::RunSplyceIn(dir.path, c.args, c.in_child);
    }
    EXPECT_EQ(r.status, c.status) << r.output;
    if (!writes) ExpectCheckAgrees(checked, r, c.check_status);
    if (c.errors) {
      EXPECT_EQ(fixture::WithDirNamed(r.errors, dir), *c.errors);
    }
    const size_t tail = r.output.size() - std::min(r.output.size(), c.message.size());
    EXPECT_EQ(r.output.substr(tail), c.message);
    EXPECT_TRUE(tail == 0 || r.output[tail - 1] == '\n') << "the message starts a line";
    const Snapshot after = Take(dir.path);
    for (const std::string& name : c.unchanged) {
      SCOPED_TRACE(name);
      EXPECT_TRUE(after.count(name) == 1 && before.count(name) == 1 &&
                  after.at(name) == before.at(name));
    }
    if (c.destination.empty()) {
      // Refused: nothing written, changed or left behind.
      EXPECT_EQ(Names(after), Names(before));
      EXPECT_TRUE(after == before);
    } else {
      EXPECT_EQ(fixture::ReadFile(dir.Path(c.destination)), c.built);
      // With the mode, owner and group of the file it replaced, or of a new file.
      Snapshot expected = before;
      const auto earlier = before.find(c.destination);
      Entry& built = expected[c.destination] = Entry{'f', {}, 0666 & ~kUmask, geteuid(), getegid()};
      if (earlier != before.end() && earlier->second.kind == 'f') built = earlier->second;
      built.bytes = c.built;
      if (c.built_owner) built.owner = *c.built_owner;
      EXPECT_EQ(Names(after), Names(expected));
      EXPECT_TRUE(after == expected);
    }
  }
}

}  // namespace
