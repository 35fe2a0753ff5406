#include "wav/converted_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "base/diagnostics.h"
#include "base/fatal.h"
#include "base/files.h"
#include "dsp/resample.h"

namespace {

// Status of a conversion that cannot be done.
constexpr int kFailed = 2;
// Source frames read and converted at a time, and destination frames a
// resampler step writes at most.
constexpr int64_t kReadFrames = kBlockFrames;
constexpr int64_t kOutFrames = 4 * kBlockFrames;
// Source frames fed on each side of the stretch beyond what its frames
// reach, so that the resampler's filter, which spans fewer, meets the
// source's own frames (or its silence) there (a tenth of a second at 44.1 kHz).
constexpr int64_t kFilterMargin = 4410;
constexpr uint32_t kBitsPerByte = 8;

// The buffers of a conversion: source bytes, their converted samples, and
// the destination's samples and bytes of one resampler step.
uint8_t g_source[kReadFrames * kMaxChannels * kMaxSampleBytes];
double g_converted[kReadFrames * kMaxChannels];
double g_resampled[kOutFrames * kMaxChannels];
uint8_t g_out[kOutFrames * kMaxChannels * kMaxSampleBytes];

// The source being read: its open file and where its audio lies.
struct Source {
  const char* path;
  FILE* file;
  AudioSpan span;
  int64_t align;  // bytes per frame
};

// The file being written: its open file and where its next byte goes.
struct Sink {
  const char* path;
  FILE* file;
  int64_t end;
  int64_t clipped;
};

// Reads `count` source frames from frame `first` into g_source, silence
// where they lie outside the audio, and converts them into g_converted,
// counting the samples clipped into the sink's count.
void ReadConverted(const Source& source, int64_t first, int64_t count, const StreamFormat& from,
                   const StreamFormat& to, Sink* sink) {
  std::memset(g_source, 0, size_t(count * source.align));
  const int64_t frames = (source.span.audio_end - source.span.data_start) / source.align;
  const int64_t begin = std::max<int64_t>(first, 0);
  const int64_t end = std::min(first + count, frames);
  if (begin < end) {
    const int64_t bytes = (end - begin) * source.align;
    errno = 0;
    if (ReadFullyAt(fileno(source.file), source.span.data_start + begin * source.align,
                    g_source + (begin - first) * source.align, bytes) != bytes) {
      ReadFailed(source.path, errno);
    }
  }
  sink->clipped += ConvertFrames(g_source, from, to, int32_t(count), g_converted);
}

// Writes `frames` frames of doubles to the sink in the destination's format.
void Write(Sink* sink, const double* values, int64_t frames, const StreamFormat& to) {
  const int64_t samples = frames * to.channels;
  sink->clipped += EncodeConverted(values, samples, to, g_out);
  const int64_t bytes = samples * to.bytes_per_sample;
  if (!WriteFullyAt(fileno(sink->file), sink->end, g_out, bytes)) {
    Error("%s could not be written: %s", Quote(ShownPath(sink->path)).text, std::strerror(errno));
    Fatal(kFailed, "Cannot write file %s\n", ShownPath(sink->path));
  }
  sink->end += bytes;
}

// Converts at the source's own rate: destination frame k is source frame
// origin + k.
void ConvertAtSameRate(const Source& source, Sink* sink, const StreamFormat& from,
                       const StreamFormat& to, const ConvertedStretch& s) {
  for (int64_t k = -s.before; k < s.after; k += kReadFrames) {
    const int64_t count = std::min(kReadFrames, s.after - k);
    ReadConverted(source, s.origin + k, count, from, to, sink);
    Write(sink, g_converted, count, to);
  }
}

[[noreturn]] void ResamplingFailed(const Source& source, const ConvertedStretch& s) {
  Error("%s could not be converted from %i Hz to %i Hz: the rate converter failed",
        Quote(ShownPath(source.path)).text, s.from_rate, s.to_rate);
  Fatal(kFailed, "Cannot convert %s from %i Hz to %i Hz\n", ShownPath(source.path), s.from_rate,
        s.to_rate);
}

// Writes the resampler's output frames numbered `made` on (of the whole
// output) that fall inside [first, last), and returns `made` advanced.
int64_t KeepOutput(Sink* sink, int64_t made, int64_t count, int64_t first, int64_t last,
                   const StreamFormat& to) {
  const int64_t from = std::max(made, first);
  const int64_t to_frame = std::min(made + count, last);
  if (from < to_frame) {
    Write(sink, g_resampled + (from - made) * to.channels, to_frame - from, to);
  }
  return made + count;
}

// Converts to another rate. Input starts `lead` source frames before the
// origin, `lead` a multiple of from_rate / gcd, so that an output frame
// falls exactly at the origin's time: output frame lead * to / from.
void ConvertAtNewRate(const Source& source, Sink* sink, const StreamFormat& from,
                      const StreamFormat& to, const ConvertedStretch& s) {
  const int64_t common = std::gcd(int64_t(s.from_rate), int64_t(s.to_rate));
  const int64_t in_step = s.from_rate / common;
  const int64_t needed = s.before * s.from_rate / s.to_rate + 1 + kFilterMargin;
  const int64_t lead = (needed + in_step - 1) / in_step * in_step;
  const int64_t at_origin = lead / in_step * (s.to_rate / common);
  const int64_t first = at_origin - s.before;
  const int64_t last = at_origin + s.after;
  const int64_t input = lead + s.after * s.from_rate / s.to_rate + 1 + kFilterMargin;
  if (!StartResampling(s.from_rate, s.to_rate, to.channels)) ResamplingFailed(source, s);
  int64_t made = 0;
  for (int64_t read = 0; read < input && made < last; read += kReadFrames) {
    const int64_t count = std::min(kReadFrames, input - read);
    ReadConverted(source, s.origin - lead + read, count, from, to, sink);
    for (int64_t fed = 0; fed < count;) {
      int64_t taken = 0;
      const int64_t out =
          Resample(g_converted + fed * to.channels, count - fed, &taken, g_resampled, kOutFrames);
      if (out < 0 || (out == 0 && taken == 0)) ResamplingFailed(source, s);
      made = KeepOutput(sink, made, out, first, last, to);
      fed += taken;
    }
  }
  for (int64_t out = 1; out > 0 && made < last;) {  // drain the filter
    int64_t taken = 0;
    out = Resample(nullptr, 0, &taken, g_resampled, kOutFrames);
    if (out < 0) ResamplingFailed(source, s);
    made = KeepOutput(sink, made, out, first, last, to);
  }
  StopResampling();
  if (made < last) ResamplingFailed(source, s);
}

}  // namespace

int64_t CONVERT_FILE(const char* path, const char* source_path, const StreamFormat& from,
                     const StreamFormat& to, const WaveFormat& header,
                     const ConvertedStretch& stretch) {
  const int64_t frames = stretch.before + stretch.after;
  MAKE_HEADER(path, stretch.to_rate, uint32_t(to.bytes_per_sample) * kBitsPerByte, int32_t(frames),
              uint32_t(to.channels), header);
  Source source = {source_path, OpenWithoutWaiting(source_path, "rb"), {}, 0};
  Sink sink = {path, OpenForWriting(path, "ab"), 0, 0};
  if (source.file == nullptr) Fatal(kFailed, "Cannot open file %s\n", ShownPath(source_path));
  if (sink.file == nullptr) Fatal(kFailed, "Cannot create file %s\n", ShownPath(path));
  source.span = LocateAudio(source.file);
  source.align = BlockAlign(from.bytes_per_sample, from.channels);
  sink.end = FileLength(sink.file);
  if (stretch.from_rate == stretch.to_rate) {
    ConvertAtSameRate(source, &sink, from, to, stretch);
  } else {
    ConvertAtNewRate(source, &sink, from, to, stretch);
  }
  std::fclose(source.file);
  if (std::fclose(sink.file) != 0) Fatal(kFailed, "Cannot write file %s\n", ShownPath(path));
  return sink.clipped;
}
