#include "app/planning.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/splice.h"
#include "base/diagnostics.h"
#include "base/fatal.h"
#include "base/files.h"
#include "dsp/convert.h"
#include "dsp/resample.h"
#include "wav/wav_file.h"

namespace {

// Status of every planning fault, and of a source that cannot be opened.
constexpr int kPlanFault = 1;
constexpr int kMissingSource = 2;
// Room for one explanation (bytes).
constexpr size_t kMessageBytes = 768;
// Frame counts from here on are written in exponent form (frames), and the
// room a frame count takes.
constexpr long double kLargestPlainFrames = 1e15L;
constexpr size_t kPlainFramesBytes = 64;
// Sample widths Splyce reads (bits), and the bits of a byte.
constexpr int32_t kBits16 = 16;
constexpr int32_t kBits24 = 24;
constexpr int32_t kBits32 = 32;
constexpr int32_t kBitsFloat32 = 32;
constexpr int32_t kBitsFloat64 = 64;
constexpr int32_t kBitsPerByte = 8;
// Names of the format codes people meet most in WAV files that Splyce does
// not read, for the messages that refuse them.
constexpr std::pair<int32_t, const char*> kCodeNames[] = {
    {2, "Microsoft ADPCM"}, {6, "A-law"},   {7, "mu-law"}, {0x11, "IMA ADPCM"},
    {0x50, "MPEG"},         {0x55, "MP3"}, {kCodeExtensible, "extensible, of an unknown subformat"}};
// A description of a format, for messages.
struct Described {
  char text[96];
};
// Longest file name a folder holds (bytes), and the edits within which a
// name is suggested for a source that is not there.
constexpr int32_t kNameBytes = 255;
constexpr int32_t kMaxSuggestedEdits = 2;
constexpr int32_t kMillisecondsPerSecond = 1000;
// The highest rate converted from or to: the resampler's run-in for an edit
// can reach a second of the higher rate, and its memory grows with it.
constexpr int32_t kMaxConvertedRate = 768000;

// Truncates a frame value toward zero into `frame`; false when the value is
// not finite or its truncation lies outside int32.
bool FrameOf(long double value, int32_t* frame) {
  if (!std::isfinite(value)) return false;
  const long double whole = std::trunc(value);
  if (whole < -2147483648.0L || whole > 2147483647.0L) return false;
  *frame = int32_t(whole);
  return true;
}

// Converts a time in the run's unit to frames, in extended precision and
// not yet truncated.
long double InFrames(long double time, int32_t time_unit, int32_t rate) {
  return time_unit == kFrames ? time : time * rate;
}

// Converts a time in the run's unit to frames, truncated toward zero.
bool TimeToFrame(double time, int32_t time_unit, int32_t rate, int32_t* frame) {
  return FrameOf(InFrames(time, time_unit, rate), frame);
}

// Prints one format-mismatch listing: the heading, then every entry's value.
void PrintListing(const EditTable& t, const char* heading, const int32_t* values,
                  const char* line_format) {
  std::printf("%s\n", heading);
  for (int32_t j = 0; j < t.entry_count; ++j) std::printf(line_format, t.source_path[j], values[j]);
}

// Returns the name of a format code that Splyce does not read, or "".
const char* CodeName(int32_t code) {
  for (const auto& [known, name] : kCodeNames) {
    if (known == code) return name;
  }
  return "";
}

// Describes entry j's samples: "24-bit integer", "32-bit float", "20-bit
// integer in 24-bit containers", or the format code of another encoding.
Described DescribeSamples(const EditTable& t, int32_t j) {
  Described d;
  const FormatDetails& f = t.details[j];
  if (f.code == kCodeBigEndian) {
    std::snprintf(d.text, sizeof d.text, "big-endian (RIFX)");
  } else if (f.code != kEncodingInteger && f.code != kEncodingFloat) {
    const char* name = CodeName(f.code);
    std::snprintf(d.text, sizeof d.text, name[0] != '\0' ? "format code %i (%s)" : "format code %i%s",
                  f.code, name);
  } else if (f.valid_bits != t.bits[j]) {
    std::snprintf(d.text, sizeof d.text, "%i-bit %s in %i-bit containers", f.valid_bits,
                  f.code == kEncodingFloat ? "float" : "integer", t.bits[j]);
  } else {
    std::snprintf(d.text, sizeof d.text, "%i-bit %s", t.bits[j],
                  f.code == kEncodingFloat ? "float" : "integer");
  }
  return d;
}

// Prints the listing of sample formats: the heading, then every entry's.
void PrintSampleFormats(const EditTable& t) {
  std::printf("Sample formats do not match for source tracks:\n");
  for (int32_t j = 0; j < t.entry_count; ++j) {
    std::printf("%s\t%s\n", t.source_path[j], DescribeSamples(t, j).text);
  }
}

// Appends to `what` one attribute in which entry i differs from entry 0,
// after those appended before.
void AddDifference(char* what, size_t size, const char* format, int32_t value, int32_t wanted) {
  const size_t used = std::strlen(what);
  std::snprintf(what + used, size - used, used == 0 ? "" : "; ");
  const size_t now = std::strlen(what);
  std::snprintf(what + now, size - now, format, value, wanted);
}

// The attributes in which entry i's format differs from entry 0's.
struct FormatDifference {
  bool rate;
  bool channels;
  bool bits;
  bool samples;  // the encoding, or the valid bits of containers of one size
};

FormatDifference CompareFormats(const EditTable& t, int32_t i) {
  FormatDifference d;
  d.rate = t.sample_rate[i] != t.sample_rate[0];
  d.channels = t.channels[i] != t.channels[0];
  d.bits = t.bits[i] != t.bits[0];
  // Valid bits that differ with the bits are no difference of their own.
  d.samples = t.details[i].code != t.details[0].code ||
              (!d.bits && t.details[i].valid_bits != t.details[0].valid_bits);
  return d;
}

// Says on the line of entry i's src how its format differs (`d`) from the
// destination's, which is entry 0's.
void ExplainFormatDifference(const EditTable& t, int32_t i, const FormatDifference& d) {
  char what[kMessageBytes] = "";
  if (d.rate) {
    AddDifference(what, sizeof what, "a sample rate of %i Hz against %i Hz", t.sample_rate[i],
                  t.sample_rate[0]);
  }
  if (d.channels) {
    AddDifference(what, sizeof what, "%i channels against %i", t.channels[i], t.channels[0]);
  }
  if (d.bits) AddDifference(what, sizeof what, "%i bits against %i", t.bits[i], t.bits[0]);
  if (d.samples) {
    const size_t used = std::strlen(what);
    std::snprintf(what + used, sizeof what - used, "%s%s against %s", used == 0 ? "" : "; ",
                  DescribeSamples(t, i).text, DescribeSamples(t, 0).text);
  }
  ErrorAtLine(t.task_path, t.source_line[i],
              "task %i (%s) differs from the destination, which takes the format of task 1 (%s): "
              "%s",
              i + 1, Quote(t.source_path[i]).text, Quote(t.source_path[0]).text, what);
}

// Compares every entry's rate, channels, bits and then encoding and valid
// bits with entry 0's; prints a listing for each difference and refuses the
// run once all are compared.
void CheckFormatsAgree(const EditTable& t) {
  bool differ = false;
  for (int32_t i = 1; i < t.entry_count; ++i) {
    const FormatDifference d = CompareFormats(t, i);
    if (d.rate) {
      PrintListing(t, "Sample rates do not match for source tracks:", t.sample_rate, "%s\t%i kHz\n");
    }
    if (d.channels) {
      PrintListing(t, "Number of channels do not match for source tracks:", t.channels,
                   "%s\t%i channels\n");
    }
    if (d.bits) PrintListing(t, "Number of bits do not match for source tracks:", t.bits, "%s\t%i\n");
    if (d.samples) PrintSampleFormats(t);
    const bool differs = d.rate || d.channels || d.bits || d.samples;
    if (differs) ExplainFormatDifference(t, i, d);
    differ = differ || differs;
  }
  if (differ) EndProcess(kPlanFault);
}

// Says on the line of entry j's src why the plan is refused, as "task N
// ("file"): why".
__attribute__((format(printf, 3, 4))) void ExplainRefusal(const EditTable& t, int32_t j,
                                                          const char* why, ...) {
  char reason[kMessageBytes];
  va_list args;
  va_start(args, why);
  std::vsnprintf(reason, sizeof reason, why, args);
  va_end(args);
  ErrorAtLine(t.task_path, t.source_line[j], "task %i (%s): %s", j + 1, Quote(t.source_path[j]).text,
              reason);
}

// Refuses a sample rate of 0 or less, which no time can be converted with:
// the first source's, or with a format line, any source's.
void CheckSampleRate(const EditTable& t) {
  for (int32_t j = 0; j < (t.format.given ? t.entry_count : 1); ++j) {
    if (t.sample_rate[j] > 0) continue;
    ExplainRefusal(t, j, "a sample rate of %i Hz, with which no time can be told",
                   t.sample_rate[j]);
    Fatal(kPlanFault, "Unsupported sample rate in %s: %i Hz\n", t.source_path[j], t.sample_rate[j]);
  }
}

// Returns the speakers of the first source with `channels` channels that
// names them, or 0: a format line names no speakers.
uint32_t SpeakersFor(const EditTable& t, int32_t channels) {
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (t.channels[j] == channels && t.details[j].channel_mask != 0) return t.details[j].channel_mask;
  }
  return 0;
}

// Sets the destination's format: the format line's, or the first source's.
void SetDestinationFormat(EditTable& t) {
  if (!t.format.given) {
    t.out_rate = t.sample_rate[0];
    t.out_bits = t.bits[0];
    t.out_channels = t.channels[0];
    t.out_details = t.details[0];
  } else {
    t.out_rate = t.format.rate;
    t.out_bits = t.format.bits;
    t.out_channels = t.format.channels;
    t.out_details = {t.format.encoding, t.format.bits * t.format.channels / kBitsPerByte,
                     t.format.bits, SpeakersFor(t, t.format.channels), false};
  }
  t.out_bytes_per_sample = t.out_bits / kBitsPerByte;
}

// Reports whether entry j's source must be converted to the destination's
// format; one that already has it is copied as it is.
bool NeedsConversion(const EditTable& t, int32_t j) {
  return t.format.given &&
         (t.sample_rate[j] != t.out_rate || t.bits[j] != t.out_bits ||
          t.channels[j] != t.out_channels || t.details[j].code != t.out_details.code ||
          t.details[j].valid_bits != t.out_details.valid_bits);
}

// Describes a format as a note names it: "44100 Hz 16-bit integer, 2
// channels".
Described DescribeStream(int32_t rate, int32_t channels, int32_t bits, int32_t valid_bits,
                         int32_t code) {
  Described d;
  const char* kind = code == kEncodingFloat ? "float" : "integer";
  if (valid_bits != bits) {
    std::snprintf(d.text, sizeof d.text, "%i Hz %i-bit %s in %i-bit containers, %i channel%s", rate,
                  valid_bits, kind, bits, channels, channels == 1 ? "" : "s");
  } else {
    std::snprintf(d.text, sizeof d.text, "%i Hz %i-bit %s, %i channel%s", rate, bits, kind,
                  channels, channels == 1 ? "" : "s");
  }
  return d;
}

// Refuses entry j's source when the format line asks for a conversion that
// cannot be made: of channels no rule turns into the destination's, or of a
// rate, in a build without rate conversion or beyond the highest rate.
void CheckConvertible(const EditTable& t, int32_t j) {
  if (!ChannelsConvert(t.channels[j], t.out_channels)) {
    ExplainRefusal(t, j,
                   "%i channels, which no rule turns into the destination's %i: one channel "
                   "goes into any number, and two into one",
                   t.channels[j], t.out_channels);
    Fatal(kPlanFault, "Cannot convert %s from %i channels to %i\n", t.source_path[j], t.channels[j],
          t.out_channels);
  }
  if (t.sample_rate[j] == t.out_rate) return;
  if (!CanResample()) {
    ExplainRefusal(t, j,
                   "its rate of %i Hz would need converting to %i Hz, and this Splyce was built "
                   "without libsoxr: install libsoxr (on Debian the package libsoxr-dev) and "
                   "build Splyce again",
                   t.sample_rate[j], t.out_rate);
    Fatal(kPlanFault,
          "Cannot convert %s from %i Hz to %i Hz: this Splyce converts no sample rates\n",
          t.source_path[j], t.sample_rate[j], t.out_rate);
  }
  if (std::max(t.sample_rate[j], t.out_rate) > kMaxConvertedRate) {
    ExplainRefusal(t, j,
                   "its rate of %i Hz would need converting to %i Hz, and rates above %i Hz are "
                   "not converted: convert it with another tool first",
                   t.sample_rate[j], t.out_rate, kMaxConvertedRate);
    Fatal(kPlanFault,
          "Cannot convert %s from %i Hz to %i Hz: rates above %i Hz are not converted\n",
          t.source_path[j], t.sample_rate[j], t.out_rate, kMaxConvertedRate);
  }
}

// Says from what to what entry j's source is converted, unless an earlier
// entry converts the same file and has said it.
void NoteConversion(const EditTable& t, int32_t j) {
  for (int32_t i = 0; i < j; ++i) {
    if (t.converted[i] && std::strcmp(t.source_path[i], t.source_path[j]) == 0) return;
  }
  const Described from = DescribeStream(t.sample_rate[j], t.channels[j], t.bits[j],
                                        t.details[j].valid_bits, t.details[j].code);
  const Described to = DescribeStream(t.out_rate, t.out_channels, t.out_bits,
                                      t.out_details.valid_bits, t.out_details.code);
  Note(t.task_path, t.source_line[j], "task %i (%s) is converted from %s to %s", j + 1,
       Quote(t.source_path[j]).text, from.text, to.text);
}

// Marks the sources the format line has converted, refusing those that
// cannot be, and then says of each from what to what.
void PlanConversions(EditTable& t) {
  for (int32_t j = 0; j < t.entry_count; ++j) {
    t.converted[j] = NeedsConversion(t, j);
    if (t.converted[j]) CheckConvertible(t, j);
  }
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (t.converted[j]) NoteConversion(t, j);
  }
}

// Returns `frames` of entry j's source as frames of the destination's rate,
// truncated; a count of none or less stays as it is.
int64_t InDestinationFrames(const EditTable& t, int32_t j, int64_t frames) {
  if (frames <= 0 || t.sample_rate[j] == t.out_rate) return frames;
  return frames * t.out_rate / t.sample_rate[j];
}

// Describes what is wrong with entry j's format, or returns false when
// Splyce can use it: integer PCM in 16-, 24- or 32-bit containers (of which
// the high 8 to all bits valid), float of 32 or 64 bits, 1 to kMaxChannels
// channels, in blocks of exactly one sample per channel.
bool DescribeUnsupported(const EditTable& t, int32_t j, Described* d) {
  const FormatDetails& f = t.details[j];
  const int32_t bits = t.bits[j];
  const int32_t channels = t.channels[j];
  const bool integer = f.code == kEncodingInteger;
  const bool float_bits = bits == kBitsFloat32 || bits == kBitsFloat64;
  const bool integer_bits = bits == kBits16 || bits == kBits24 || bits == kBits32;
  if (f.code != kEncodingInteger && f.code != kEncodingFloat) {
    *d = DescribeSamples(t, j);
  } else if ((integer && !integer_bits) || (!integer && !float_bits) || channels < 1 ||
             channels > kMaxChannels) {
    std::snprintf(d->text, sizeof d->text, "%i-bit %s, %i channel%s", bits,
                  integer ? "integer" : "float", channels, channels == 1 ? "" : "s");
  } else if (f.block_align != channels * bits / kBitsPerByte) {
    std::snprintf(d->text, sizeof d->text, "%i bits in blocks of %i bytes for %i channel%s", bits,
                  f.block_align, channels, channels == 1 ? "" : "s");
  } else if (f.valid_bits > bits || f.valid_bits < (integer ? bits - kBitsPerByte : bits)) {
    std::snprintf(d->text, sizeof d->text, "%i valid bits in %i-bit %s containers", f.valid_bits,
                  bits, integer ? "integer" : "float");
  } else {
    return false;
  }
  return true;
}

// Refuses the first source whose format Splyce cannot use.
void CheckFormatSupported(const EditTable& t) {
  for (int32_t j = 0; j < t.entry_count; ++j) {
    Described what;
    if (!DescribeUnsupported(t, j, &what)) continue;
    ExplainRefusal(t, j, "%s: Splyce reads 16, 24 and 32-bit integer and 32 and 64-bit float "
                   "PCM, 1 to 32 channels", what.text);
    Fatal(kPlanFault,
          "Unsupported format in %s: %s. Supported are 16, 24 and 32-bit integer and 32 and 64-bit "
          "float PCM, 1 to 32 channels.\n",
          t.source_path[j], what.text);
  }
}

// Refuses entry j's read range, having said why.
[[noreturn]] void RefuseRange(const EditTable& t, int32_t j) {
  Fatal(kPlanFault, "Edit start/stop set incorrectly for %s\n", t.source_path[j]);
}

// Says why the stop `stop` (frames) of entry j does not come after its
// read start `start`. Times of a read are told at its source's rate.
void ExplainStopNotAfterStart(const EditTable& t, int32_t j, long double stop, int32_t start) {
  const char* order = stop < start ? "before" : "at";
  if (t.xout[j] == 0.0 && t.trim[j] == 0.0) {
    ExplainRefusal(t, j, "the source ends at %s, %s xin %s",
                   PlainTime(t, stop, t.sample_rate[j]).text, order,
                   PlainTime(t, start, t.sample_rate[j]).text);
  } else if (t.trim[j] == 0.0) {
    ExplainRefusal(t, j, "xout %s is %s xin %s", PlainTime(t, stop, t.sample_rate[j]).text, order,
                   PlainTime(t, start, t.sample_rate[j]).text);
  } else {
    ExplainRefusal(t, j, "the read stops at %s with trim %g, %s xin %s",
                   PlainTime(t, stop, t.sample_rate[j]).text, t.trim[j], order,
                   PlainTime(t, start, t.sample_rate[j]).text);
  }
}

// Works out entry j's stop frame exactly, in extended precision and not cut
// to any range: trunc(xout) in frames, or the end of the source for a zero
// xout. Trim moves the stop by whole seconds (or frames) only.
long double StopFrame(const EditTable& t, int32_t j, int32_t rate) {
  long double stop = t.frame_count[j];
  if (t.xout[j] != 0.0) stop = std::trunc(InFrames(t.xout[j], t.time_unit, rate));
  if (t.trim[j] != 0.0) stop += InFrames(std::trunc((long double)t.trim[j]), t.time_unit, rate);
  return stop;
}

// Warns when a trim in seconds has a fraction, which moves nothing.
void CheckWholeSecondTrim(const EditTable& t, int32_t j, int32_t rate) {
  const long double whole = std::trunc((long double)t.trim[j]);
  if (t.time_unit == kFrames || whole == t.trim[j]) return;
  WarnAtLine(kTrimWholeSeconds, t.task_path, t.source_line[j],
             "task %i (%s): trim %g counts whole seconds only, so it moves the stop by %s, not "
             "by %g s: give the stop as xout instead",
             j + 1, Quote(t.source_path[j]).text, t.trim[j], InTaskUnit(t, whole * rate, rate).text,
             t.trim[j]);
}

// Warns when a read asks for frames past the end of its source, which it
// then does without.
void CheckReadInsideSource(const EditTable& t, int32_t j, long double stop) {
  const int32_t frames = t.frame_count[j];
  if (stop <= frames) return;
  const Quoted name = Quote(t.source_path[j]);
  if (t.read_start[j] >= frames) {
    WarnAtLine(kReadCut, t.task_path, t.source_line[j],
               "task %i (%s): xin %s lies at or past the end of the source, which is %s long, "
               "so the edit copies nothing",
               j + 1, name.text, InTaskUnit(t, t.read_start[j], t.sample_rate[j]).text,
               InTaskUnit(t, frames, t.sample_rate[j]).text);
  } else {
    WarnAtLine(kReadCut, t.task_path, t.source_line[j],
               "task %i (%s): the read asks to stop at %s, past the end of the source, which is "
               "%s long, so it stops there",
               j + 1, name.text, InTaskUnit(t, stop, t.sample_rate[j]).text,
               InTaskUnit(t, frames, t.sample_rate[j]).text);
  }
}

// Plans entry j's read start and read length.
void PlanReadRange(EditTable& t, int32_t j, int32_t rate) {
  int32_t start = 0;
  if (!TimeToFrame(t.xin[j], t.time_unit, rate, &start)) {
    ExplainRefusal(t, j, "xin %g is no frame a source can hold", t.xin[j]);
    RefuseRange(t, j);
  }
  if (start < 0) {
    ExplainRefusal(t, j, "xin %s is before the source's start",
                   PlainTime(t, start, t.sample_rate[j]).text);
    RefuseRange(t, j);
  }
  const long double stop = StopFrame(t, j, rate);
  if (!std::isfinite(stop)) {
    ExplainRefusal(t, j, "the read's stop (xout %g, trim %g) is no finite time", t.xout[j], t.trim[j]);
    RefuseRange(t, j);
  }
  if (stop <= start) {
    ExplainStopNotAfterStart(t, j, stop, start);
    RefuseRange(t, j);
  }
  // A read that runs past the source's end is cut at its last frame; so is
  // any stop beyond the 32-bit range, which lies past the end of every source.
  const int64_t end = stop > t.frame_count[j] ? int64_t(t.frame_count[j]) : int64_t(stop);
  t.read_start[j] = start;
  t.read_length[j] = int32_t(end - start);
  CheckWholeSecondTrim(t, j, rate);
  CheckReadInsideSource(t, j, stop);
}

// Resolves entry j's insert frame. An appended entry butts onto the frames
// that the entry before it copies, whatever their times add up to; the first
// entry, appended, starts the destination.
void PlanInsertPoint(EditTable& t, int32_t j, int32_t rate) {
  int64_t frame = 0;
  if (t.append[j] == 1) {
    if (j > 0) frame = int64_t(t.insert_frame[j - 1]) + std::max(t.copy_length[j - 1], 0);
  } else {
    // The truncated frame decides: a point just below 0 still lands on frame 0.
    int32_t placed = -1;
    frame = TimeToFrame(t.ins[j], t.time_unit, rate, &placed) ? placed : -1;
  }
  if (frame < 0 || frame > INT32_MAX) {
    if (t.append[j] == 1) {
      ExplainRefusal(t, j, "appended after task %i, it would start at frame %lld, past the %i "
                     "frames a destination can hold", j, static_cast<long long>(frame), INT32_MAX);
    } else {
      ExplainRefusal(t, j, "ins %g is no frame of a destination, which starts at 0 and holds at "
                     "most %i frames", t.ins[j], INT32_MAX);
    }
    Fatal(kPlanFault, "Insert point set incorrectly for %s\n", t.source_path[j]);
  }
  t.insert_frame[j] = int32_t(frame);
}

// Refuses a destination of more frames than the 32-bit frame counts hold
// (past 4 GiB it is an RF64 file), naming the entry `last` that ends it.
void CheckDestinationSize(const EditTable& t, int64_t total_frames, int32_t last) {
  if (total_frames > INT32_MAX) {
    ExplainRefusal(t, last, "it ends the destination at %s, past the %i frames a destination can "
                   "hold", InTaskUnit(t, total_frames).text, INT32_MAX);
    Fatal(kPlanFault, "Destination would be too large: at most 2147483647 frames\n");
  }
}

// Refuses entry j's crossfade width, which makes a clip no WAV file holds.
[[noreturn]] void RefuseWidth(const EditTable& t, int32_t j) {
  ExplainRefusal(t, j, "xf width %g ms makes a crossfade clip of more frames than a WAV file can "
                 "hold", double(t.width_ms[j]));
  Fatal(kPlanFault, "Crossfade width set incorrectly for %s\n", t.source_path[j]);
}

// Derives each crossfade's width in frames and refuses a clip that would not
// fit a WAV file.
void PlanCrossfadeWidths(EditTable& t) {
  const int32_t rate = t.out_rate;
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (t.xf_type[j] == 0) continue;
    if (t.width_ms[j] > 0.0f) {
      const long double frames = (long double)t.width_ms[j] * rate / kMillisecondsPerSecond;
      int32_t width = 0;
      if (!FrameOf(frames, &width)) RefuseWidth(t, j);
      t.width_frames[j] = width;
    }
    const int64_t w = t.width_frames[j];
    if (w * BlockAlign(t.out_bytes_per_sample, t.out_channels) > kMaxWavBytes) RefuseWidth(t, j);
  }
}

// Lets the copy of each entry run on under the crossfade of an appended
// entry after it, so that the clip fades the outgoing take out instead of
// silence: for half the crossfade's width, as far as its source and the
// next entry's own copy (which covers the run-on) allow.
void PlanRunOns(EditTable& t) {
  for (int32_t j = 1; j < t.entry_count; ++j) {
    if (t.append[j] != 1 || t.xf_type[j] == 0 || t.width_frames[j] <= 0) continue;
    const int64_t after = InDestinationFrames(
        t, j - 1,
        int64_t(t.frame_count[j - 1]) - t.read_start[j - 1] - std::max(t.read_length[j - 1], 0));
    const int64_t run_on = std::min<int64_t>({t.width_frames[j] / 2, after, t.copy_length[j]});
    t.run_on[j - 1] = int32_t(std::max<int64_t>(run_on, 0));
  }
}

// Refuses a destination that is also one of the sources.
void CheckDestinationNotSource(const EditTable& t) {
  struct stat destination = {};
  const bool exists = stat(t.destination_path, &destination) == 0;
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (std::strcmp(t.destination_path, t.source_path[j]) == 0 ||
        IsKnownFile(t.source_path[j], exists, destination)) {
      ExplainRefusal(t, j, "it reads the destination itself, which the run replaces: give dest "
                     "another name");
      Fatal(kPlanFault, "Destination %s is also a source track\n", t.destination_path);
    }
  }
}

// Returns how many single-byte edits turn `a` into `b`, or `cap` once it is
// clear there are that many or more.
int32_t EditDistance(const char* a, const char* b, int32_t cap) {
  int32_t row[kNameBytes + 1];
  const int32_t m = int32_t(std::strlen(b));
  if (m > kNameBytes) return cap;
  for (int32_t k = 0; k <= m; ++k) row[k] = k;
  for (int32_t i = 1; a[i - 1] != '\0'; ++i) {
    int32_t diagonal = row[0];
    row[0] = i;
    int32_t lowest = row[0];
    for (int32_t k = 1; k <= m; ++k) {
      const int32_t above = row[k];
      row[k] = std::min({above + 1, row[k - 1] + 1, diagonal + (a[i - 1] == b[k - 1] ? 0 : 1)});
      diagonal = above;
      lowest = std::min(lowest, row[k]);
    }
    if (lowest >= cap) return cap;
  }
  return std::min(row[m], cap);
}

// Writes into `hint` a suggestion of the name in `folder` closest to `name`,
// within kMaxSuggestedEdits edits (the alphabetically first of the closest),
// or nothing when there is none.
void SuggestName(const char* folder, const char* name, char* hint, size_t size) {
  hint[0] = '\0';
  DIR* entries = opendir(folder[0] == '\0' ? "." : folder);
  if (entries == nullptr) return;
  char best[kNameBytes + 1] = "";
  int32_t best_distance = kMaxSuggestedEdits + 1;
  for (const dirent* e = readdir(entries); e != nullptr; e = readdir(entries)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    const int32_t distance = EditDistance(name, e->d_name, best_distance + 1);
    if (distance < best_distance || (distance == best_distance && std::strcmp(e->d_name, best) < 0)) {
      best_distance = distance;
      std::snprintf(best, sizeof best, "%s", e->d_name);
    }
  }
  closedir(entries);
  if (best_distance <= kMaxSuggestedEdits && best[0] != '\0') {
    std::snprintf(hint, size, ": did you mean \"%s%s\"?", folder, best);
  }
}

// Refuses a source that cannot be opened as a file, saying why, where a
// relative path was looked for, and which name nearby it may have meant.
void CheckSourceOpens(const EditTable& t, int32_t j) {
  const char* path = t.source_path[j];
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int error = errno;
  struct stat info = {};
  const bool regular = fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (fd >= 0) close(fd);
  if (regular) return;
  const char* why = fd >= 0 ? (S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file")
                  : error == ENOENT ? "there is no such file"
                                    : std::strerror(error);
  char where[kMessageBytes] = "";
  char working[kMessageBytes];
  if (path[0] != '/' && getcwd(working, sizeof working) != nullptr) {
    std::snprintf(where, sizeof where, " (a source's path starts from the working directory, %s)",
                  Quote(working).text);
  }
  char hint[kMessageBytes] = "";
  if (fd < 0 && error == ENOENT) {
    const char* slash = std::strrchr(path, '/');
    char folder[kPathBytes] = "";
    if (slash != nullptr) std::snprintf(folder, sizeof folder, "%.*s/", int(slash - path), path);
    SuggestName(folder, slash == nullptr ? path : slash + 1, hint, sizeof hint);
  }
  ExplainRefusal(t, j, "the source cannot be opened: %s%s%s", why, where, hint);
  Fatal(kMissingSource, "Cannot find file in track list called %s!!\n", path);
}

// Writes a frame count (or a time) with `format_plain`, or, where it is too
// large for any source, with `format_huge`, an exponent form that fits.
void WriteFrames(long double frames, const char* format_plain, const char* format_huge, char* out,
                 size_t size) {
  frames += 0.0L;  // -0 reads as 0
  std::snprintf(out, size, std::fabs(frames) < kLargestPlainFrames ? format_plain : format_huge,
                frames);
}

}  // namespace

SampleFormat DestinationSamples(const EditTable& t) {
  return {t.out_details.code, t.out_details.valid_bits};
}

WaveFormat DestinationWave(const EditTable& t) {
  return {t.out_details.code, t.out_details.valid_bits, t.out_details.channel_mask};
}

TimeText PlainTime(const EditTable& t, long double frames, int32_t rate) {
  TimeText out;
  if (t.time_unit == kFrames) {
    WriteFrames(frames, "%.0Lf frames", "%.3Lg frames", out.text, sizeof out.text);
  } else {
    WriteFrames(frames / (rate > 0 ? rate : t.out_rate), "%.3Lf s", "%.3Lg s", out.text,
                sizeof out.text);
  }
  return out;
}

TimeText InTaskUnit(const EditTable& t, long double frames, int32_t rate) {
  TimeText out = PlainTime(t, frames, rate);
  if (t.time_unit == kFrames) return out;
  char count[kPlainFramesBytes];
  WriteFrames(frames, " (%.0Lf frames)", " (%.3Lg frames)", count, sizeof count);
  std::strncat(out.text, count, sizeof out.text - std::strlen(out.text) - 1);
  return out;
}

void FindOrder(int32_t n, const double* ins, int32_t* order, const int32_t* append) {
  if (n < 1) return;
  bool placed[kMaxEntries];
  double bound = 0.0;
  for (int32_t j = 0; j < n; ++j) {
    placed[j] = append[j] == 1;
    if (ins[j] > bound) bound = ins[j];
  }
  bound += 1.0;
  int32_t p = 0;
  while (append[p] == 1) {
    order[p] = p;
    if (++p == n) return;
  }
  while (true) {
    int32_t s = -1;
    double lowest = bound;
    for (int32_t j = 0; j < n; ++j) {
      if (!placed[j] && ins[j] < lowest) {
        lowest = ins[j];
        s = j;
      }
    }
    // Insert points that are not finite, or too large to lie below the
    // bound, still get a place: the lowest unplaced head.
    for (int32_t j = 0; s < 0 && j < n; ++j) {
      if (!placed[j]) s = j;
    }
    order[p] = s;
    for (int32_t k = s + 1; k < n && append[k] == 1 && p < n - 1; ++k) order[++p] = k;
    placed[s] = true;
    if (p >= n - 1) return;
    ++p;
  }
}

void PlanEdits(EditTable& t) {
  ForgetFiles();  // the sources are what this plan finds them to be
  for (int32_t i = 0; i < t.entry_count; ++i) {
    CheckSourceOpens(t, i);
    GET_ATTRIBUTES(i, t.source_path[i], t.channels, t.data_start, t.sample_rate, t.frame_count,
                   t.bytes_per_sample, t.bits, t.details);
  }
  CheckFormatSupported(t);  // first, so that no listing shows a format read as nonsense
  if (!t.format.given) CheckFormatsAgree(t);
  CheckSampleRate(t);
  SetDestinationFormat(t);
  PlanConversions(t);
  for (int32_t j = 0; j < t.entry_count; ++j) {
    PlanReadRange(t, j, t.sample_rate[j]);
    t.copy_length[j] = int32_t(InDestinationFrames(t, j, t.read_length[j]));
  }
  FindOrder(t.entry_count, t.ins, t.write_order, t.append);
  int64_t total = 0;
  int32_t last = 0;
  for (int32_t j = 0; j < t.entry_count; ++j) {
    PlanInsertPoint(t, j, t.out_rate);
    const int64_t end = int64_t(t.insert_frame[j]) + t.copy_length[j];
    if (end > total) {
      total = end;
      last = j;
    }
  }
  CheckDestinationSize(t, total, last);
  t.total_frames = int32_t(total);
  PlanCrossfadeWidths(t);
  PlanRunOns(t);
  CheckDestinationNotSource(t);
  CheckWorkFileFree(t);
}
