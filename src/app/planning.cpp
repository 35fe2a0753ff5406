#include "app/planning.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/splice.h"
#include "base/diagnostics.h"
#include "base/process.h"
#include "wav/wav_file.h"

namespace {

// Status of every planning fault.
constexpr int kPlanFault = 1;
constexpr int32_t kMillisecondsPerSecond = 1000;

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

// Compares every entry's rate, channels and bits with entry 0's; prints a
// listing for each difference and refuses the run once all are compared.
void CheckFormatsAgree(const EditTable& t) {
  bool differ = false;
  for (int32_t i = 1; i < t.entry_count; ++i) {
    if (t.sample_rate[i] != t.sample_rate[0]) {
      PrintListing(t, "Sample rates do not match for source tracks:", t.sample_rate, "%s\t%i kHz\n");
      differ = true;
    }
    if (t.channels[i] != t.channels[0]) {
      PrintListing(t, "Number of channels do not match for source tracks:", t.channels,
                   "%s\t%i channels\n");
      differ = true;
    }
    if (t.bits[i] != t.bits[0]) {
      PrintListing(t, "Number of bits do not match for source tracks:", t.bits, "%s\t%i\n");
      differ = true;
    }
  }
  if (differ) EndProcess(kPlanFault);
}

// Refuses a sample rate of 0 or less, which no time can be converted with.
void CheckSampleRate(const EditTable& t) {
  if (t.sample_rate[0] <= 0) {
    Fatal(kPlanFault, "Unsupported sample rate in %s: %i Hz\n", t.source_path[0], t.sample_rate[0]);
  }
}

// Refuses any format but 16 or 24 bits with 1 or 2 channels.
void CheckFormatSupported(const EditTable& t) {
  const bool bits_ok = t.bits[0] == 16 || t.bits[0] == 24;
  const bool channels_ok = t.channels[0] == 1 || t.channels[0] == 2;
  if (!bits_ok || !channels_ok) {
    Fatal(kPlanFault,
          "Unsupported format in %s: %i bits, %i channels. Supported are 16 or 24 bits, 1 or 2 channels.\n",
          t.source_path[0], t.bits[0], t.channels[0]);
  }
}

[[noreturn]] void RefuseRange(const EditTable& t, int32_t j) {
  Fatal(kPlanFault, "Edit start/stop set incorrectly for %s\n", t.source_path[j]);
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
             j + 1, Quote(t.source_path[j]).text, t.trim[j], InTaskUnit(t, whole * rate).text,
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
               j + 1, name.text, InTaskUnit(t, t.read_start[j]).text, InTaskUnit(t, frames).text);
  } else {
    WarnAtLine(kReadCut, t.task_path, t.source_line[j],
               "task %i (%s): the read asks to stop at %s, past the end of the source, which is "
               "%s long, so it stops there",
               j + 1, name.text, InTaskUnit(t, stop).text, InTaskUnit(t, frames).text);
  }
}

// Plans entry j's read start and read length.
void PlanReadRange(EditTable& t, int32_t j, int32_t rate) {
  int32_t start = 0;
  if (!TimeToFrame(t.xin[j], t.time_unit, rate, &start) || start < 0) RefuseRange(t, j);
  const long double stop = StopFrame(t, j, rate);
  if (!std::isfinite(stop) || stop <= start) RefuseRange(t, j);
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
    if (j > 0) frame = int64_t(t.insert_frame[j - 1]) + std::max(t.read_length[j - 1], 0);
  } else {
    // The truncated frame decides: a point just below 0 still lands on frame 0.
    int32_t placed = -1;
    frame = TimeToFrame(t.ins[j], t.time_unit, rate, &placed) ? placed : -1;
  }
  if (frame < 0 || frame > INT32_MAX) {
    Fatal(kPlanFault, "Insert point set incorrectly for %s\n", t.source_path[j]);
  }
  t.insert_frame[j] = int32_t(frame);
}

// Refuses a destination whose header and T frames pass what a WAV file's
// unsigned 32-bit sizes can declare.
void CheckDestinationSize(const EditTable& t, int64_t total_frames) {
  if (kHeaderBytes + total_frames * BlockAlign(t.bytes_per_sample[0], t.channels[0]) >
      kMaxWavBytes) {
    Fatal(kPlanFault, "Destination would be too large: WAV files are limited to 4 GiB\n");
  }
}

// Derives each crossfade's width in frames and refuses a clip that would not
// fit a WAV file.
void PlanCrossfadeWidths(EditTable& t) {
  const int32_t rate = t.sample_rate[0];
  for (int32_t j = 0; j < t.entry_count; ++j) {
    if (t.xf_type[j] == 0) continue;
    if (t.width_ms[j] > 0.0f) {
      const long double frames = (long double)t.width_ms[j] * rate / kMillisecondsPerSecond;
      int32_t width = 0;
      if (!FrameOf(frames, &width)) Fatal(kPlanFault, "Crossfade width set incorrectly for %s\n", t.source_path[j]);
      t.width_frames[j] = width;
    }
    const int64_t w = t.width_frames[j];
    if (kHeaderBytes + w * BlockAlign(t.bytes_per_sample[0], t.channels[0]) > kMaxWavBytes) {
      Fatal(kPlanFault, "Crossfade width set incorrectly for %s\n", t.source_path[j]);
    }
  }
}

// Lets the copy of each entry run on under the crossfade of an appended
// entry after it, so that the clip fades the outgoing take out instead of
// silence: for half the crossfade's width, as far as its source and the
// next entry's own copy (which covers the run-on) allow.
void PlanRunOns(EditTable& t) {
  for (int32_t j = 1; j < t.entry_count; ++j) {
    if (t.append[j] != 1 || t.xf_type[j] == 0 || t.width_frames[j] <= 0) continue;
    const int64_t after = int64_t(t.frame_count[j - 1]) - t.read_start[j - 1] -
                          std::max(t.read_length[j - 1], 0);
    const int64_t run_on = std::min<int64_t>({t.width_frames[j] / 2, after, t.read_length[j]});
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
      Fatal(kPlanFault, "Destination %s is also a source track\n", t.destination_path);
    }
  }
}

}  // namespace

TimeText InTaskUnit(const EditTable& t, long double frames) {
  TimeText out;
  frames += 0.0L;  // -0 reads as 0
  char count[40];
  std::snprintf(count, sizeof count, std::fabs(frames) < 1e15L ? "%.0Lf" : "%.3Lg", frames);
  if (t.time_unit == kFrames) {
    std::snprintf(out.text, sizeof out.text, "%s frames", count);
  } else {
    std::snprintf(out.text, sizeof out.text, "%.3Lf s (%s frames)", frames / t.sample_rate[0],
                  count);
  }
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
    GET_ATTRIBUTES(i, t.source_path[i], t.channels, t.data_start, t.sample_rate, t.frame_count,
                   t.bytes_per_sample, t.bits);
  }
  CheckFormatsAgree(t);
  CheckFormatSupported(t);
  CheckSampleRate(t);
  const int32_t rate = t.sample_rate[0];
  for (int32_t j = 0; j < t.entry_count; ++j) PlanReadRange(t, j, rate);
  FindOrder(t.entry_count, t.ins, t.write_order, t.append);
  int64_t total = 0;
  for (int32_t j = 0; j < t.entry_count; ++j) {
    PlanInsertPoint(t, j, rate);
    const int64_t end = int64_t(t.insert_frame[j]) + t.read_length[j];
    if (end > total) total = end;
  }
  CheckDestinationSize(t, total);
  t.total_frames = int32_t(total);
  PlanCrossfadeWidths(t);
  PlanRunOns(t);
  CheckDestinationNotSource(t);
  CheckWorkFileFree(t);
}
