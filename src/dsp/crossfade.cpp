#include "dsp/crossfade.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/files.h"
#include "dsp/level.h"
#include "dsp/pcm_codec.h"
#include "wav/wav_file.h"

namespace {

// Gain curves, by crossfade type.
constexpr int32_t kCurveEqualPower = 1;  // cos out, sin in
constexpr int32_t kCurveLinear = 2;      // 1 - M out, M in
constexpr int32_t kCurveSlowStart = 3;   // cos out, 1 - cos in: falls slowly at first
constexpr int32_t kCurveFastStart = 4;   // 1 - sin out, sin in: falls fast at first
// Angle reached at M = 1 (radians): the ten-digit value as a double,
// deliberately not pi/2 to full precision, since it decides the last unit of
// some results. It is widened when multiplied by the extended-precision M.
constexpr double kQuarterTurn = 1.570796327;
// Frames mixed in one step: read from both windows, mixed and encoded
// together; fewer for more than two channels, so that a step holds at most
// kMixSamples samples of at most kMaxSampleBytes bytes.
constexpr int32_t kMixFrames = 2 * kBlockFrames;
constexpr int32_t kMixSamples = kMixFrames * kStereoChannels;
constexpr int32_t kMixBytes = kMixSamples * kMaxSampleBytes;
// Mixed bytes held before they go to the clip file: a clip up to this size
// (a third of a second of 24-bit stereo at 48 kHz) is written in one piece,
// a longer one in pieces of it, which keeps the peak memory of a run with
// wide crossfades well under 4 MiB beside the gain table.
constexpr int64_t kClipBufferBytes = 16 * int64_t(kMaxBlockBytes);
// Clip frames whose curve gains the run keeps, for the last shape (width and
// type) it mixed: every clip of that shape reads its gains from the table.
// Frames of a wider clip past it (a second at 48 kHz) have theirs computed
// frame by frame, which keeps memory bounded whatever the widths.
constexpr int32_t kGainTableFrames = 48000;

// One file the clip is mixed from.
struct Input {
  const char* path;
  FILE* file;
  int64_t data_start;  // bytes
  int64_t size;        // bytes, at the start of the call
  int64_t audio_end;   // bytes; frames from here on count as silence
  int64_t position;    // bytes; next block to read
};

// What every frame of one clip shares.
struct Fade {
  int32_t width;  // frames
  int32_t type;   // gain curve
  double level_factor;
  bool has_level;  // level_factor applies to the fade-in side
  int32_t channels;
  int32_t bytes_per_sample;
  SampleFormat format;
};

// Curve gains, before any level, of clip frames 0 to filled - 1 of the shape
// `type` and `width`.
struct GainTable {
  int32_t type;
  int32_t width;
  int32_t filled;
  double out[kGainTableFrames];
  double in[kGainTableFrames];
};

// Largest level factor of the fast mix: with curve gains of at most 1 and
// working samples of at most 2^23 in size, every mixed value then lies far
// inside int32 and needs no range check. A larger factor, not-a-number or
// infinity mixes every sample in extended precision.
constexpr double kMaxSettledLevelFactor = 64.0;

// Working storage of the mix, fixed so that memory stays bounded: both
// windows' bytes and working samples for one step, the gains of each frame
// and of each sample, the mixed values, which of them the fast path left in
// doubt, and the clip bytes not yet written. All start as zeros, which take
// no room in the program file; a gain table with no frames filled serves
// any shape.
GainTable g_gains;
uint8_t g_destination_bytes[kMixBytes];
uint8_t g_source_bytes[kMixBytes];
int32_t g_destination_samples[kMixSamples];
int32_t g_source_samples[kMixSamples];
double g_frame_gain_out[kMixFrames];
double g_frame_gain_in[kMixFrames];
double g_sample_gain_out[kMixSamples];
double g_sample_gain_in[kMixSamples];
int32_t g_mixed[kMixSamples];
int32_t g_doubtful[kMixSamples];
uint8_t g_clip[kClipBufferBytes];

// Returns the angle of M as a double, the argument of sin and cos.
double Angle(long double m) { return static_cast<double>(m * kQuarterTurn); }

// Sets the curve gains at position M (0 <= M < 1) before any level; an
// unknown curve keeps the destination alone.
void CurveGains(int32_t type, long double m, double* gain_out, double* gain_in) {
  if (type == kCurveEqualPower) {
    double sine = 0.0;
    double cosine = 0.0;
    sincos(Angle(m), &sine, &cosine);
    *gain_out = cosine;
    *gain_in = sine;
  } else if (type == kCurveLinear) {
    const long double rest = 1.0L - m;  // kept unrounded for the fade-in side
    *gain_out = static_cast<double>(rest);
    *gain_in = static_cast<double>(1.0L - rest);
  } else if (type == kCurveSlowStart) {
    const double cosine = std::cos(Angle(m));
    *gain_out = cosine;
    *gain_in = static_cast<double>(1.0L - cosine);
  } else if (type == kCurveFastStart) {
    const long double rest = 1.0L - std::sin(Angle(m));
    *gain_out = static_cast<double>(rest);
    *gain_in = static_cast<double>(1.0L - rest);
  } else {
    *gain_out = 1.0;
    *gain_in = 0.0;
  }
}

// Finds where the input's audio begins and ends, and its length; false (with the message) if
// it has no data chunk and no "data" tag.
bool LocateData(Input* input) {
  const AudioSpan span = LocateAudio(input->file);
  if (!span.has_data) {
    std::fputs("Data block not found error\n", stdout);
    return false;
  }
  input->data_start = span.data_start;
  input->audio_end = span.audio_end;
  input->size = span.file_bytes;
  return true;
}

// Sets the input's read position to frame `first_frame`; reports whether that
// position lies no further than the file's size (a position at the end is
// accepted) and, unless `before_start` allows it, not before the audio.
bool PlaceWindow(Input* input, int64_t first_frame, int64_t block_align, bool before_start) {
  input->position = FramePosition(input->data_start, first_frame, block_align);
  return (before_start || input->data_start <= input->position) && input->position <= input->size;
}

// Reports which of the three files failed to open, in the order destination,
// source, clip.
int32_t OpenStatus(const Input& destination, const Input& source, FILE* clip) {
  if (destination.file == nullptr) return kCrossfadeDestinationFailed;
  if (source.file == nullptr) return kCrossfadeSourceFailed;
  if (clip == nullptr) return kCrossfadeClipFailed;
  return kCrossfadeOk;
}

// Finds where both files' audio starts and checks the first frame of both
// windows, in that order; prints the message of the first failure. The
// source's window may start before its first frame: the pre-roll it lacks
// there is silence.
int32_t LocateWindows(Input* destination, Input* source, int64_t destination_frame,
                      int64_t source_frame, int64_t block_align) {
  if (!LocateData(destination)) return kCrossfadeDestinationFailed;
  if (!LocateData(source)) return kCrossfadeSourceFailed;
  if (!PlaceWindow(destination, destination_frame, block_align, false)) {
    std::fputs("Invalid crossfade for destination file\n", stdout);
    return kCrossfadeDestinationFailed;
  }
  if (!PlaceWindow(source, source_frame, block_align, true)) {
    std::fputs("Invalid crossfade for source file\n", stdout);
    return kCrossfadeSourceFailed;
  }
  return kCrossfadeOk;
}

// Reads the next `bytes` of audio into `block` and advances the position.
// Frames before the start of the audio or past its end and a trailing
// partial frame count as silence; a read that fails, or delivers less of the
// audio than the file held when the call began, ends the run.
void ReadBlock(Input* input, uint8_t* block, int64_t bytes, int64_t block_align) {
  const int64_t first = std::max(input->position, input->data_start);
  const int64_t skipped = std::min(first - input->position, bytes);  // whole frames
  int64_t wanted = std::min(input->audio_end - first, bytes - skipped);
  if (wanted < 0) wanted = 0;
  wanted -= wanted % block_align;
  errno = 0;
  if (wanted > 0 && ReadFullyAt(fileno(input->file), first, block + skipped, wanted) != wanted) {
    ReadFailed(input->path, errno);
  }
  std::memset(block, 0, size_t(skipped));
  std::memset(block + skipped + wanted, 0, size_t(bytes - skipped - wanted));
  input->position += bytes;
}

// The clip being written: its open file and where its next byte goes.
struct Clip {
  FILE* file;
  int64_t end;  // bytes
};

// Appends `bytes` bytes of `block` to the clip, through its descriptor;
// false when they did not all go out.
bool Append(Clip* clip, const uint8_t* block, int64_t bytes) {
  if (!WriteFullyAt(fileno(clip->file), clip->end, block, bytes)) return false;
  clip->end += bytes;
  return true;
}

// Appends `frames` frames of `block_align` zero bytes: the clip of a format
// the mixer cannot decode. Returns false when a write fails.
bool AppendSilence(Clip* clip, int32_t frames, int64_t block_align) {
  static const uint8_t kZeros[kMaxBlockBytes] = {};
  bool written = true;
  for (int32_t k = 0; k < frames; ++k) {
    for (int64_t left = block_align; left > 0; left -= kMaxBlockBytes) {
      written = Append(clip, kZeros, left < kMaxBlockBytes ? left : kMaxBlockBytes) && written;
    }
  }
  return written;
}

// Sets the curve gains of clip frame k of W, before any level.
void ShapeGains(int32_t type, int32_t k, int32_t width, double* gain_out, double* gain_in) {
  const long double m = width > 0 ? static_cast<long double>(k) / width : 0.0L;
  CurveGains(type, m, gain_out, gain_in);
}

// Returns the fade-in gain scaled by the level factor, the product formed in
// extended precision and rounded to double once.
double LevelledGain(double gain_in, double level_factor) {
  return static_cast<double>(static_cast<long double>(gain_in) * level_factor);
}

// Makes the run's table hold the curve gains of the fade's shape for clip
// frames 0 to frames - 1 (frames at most kGainTableFrames): a new shape
// starts the table afresh, and the table grows as frames are asked for.
void FillGainTable(const Fade& fade, int32_t frames) {
  if (g_gains.type != fade.type || g_gains.width != fade.width) {
    g_gains.type = fade.type;
    g_gains.width = fade.width;
    g_gains.filled = 0;
  }
  for (; g_gains.filled < frames; ++g_gains.filled) {
    ShapeGains(fade.type, g_gains.filled, fade.width, &g_gains.out[g_gains.filled],
               &g_gains.in[g_gains.filled]);
  }
}

// Points *out and *in at the curve gains of `count` clip frames from clip
// frame `first` on: within the run's table when they all lie in it, else in
// g_frame_gain_out and g_frame_gain_in, copied from the table for the frames
// within it and worked out frame by frame past it, which keeps memory bounded
// whatever the widths.
void FrameGains(const Fade& fade, int32_t first, int32_t count, const double** out,
                const double** in) {
  const int32_t tabled = std::min(count, std::max(kGainTableFrames - first, 0));
  if (tabled > 0) FillGainTable(fade, first + tabled);
  if (tabled == count) {
    *out = g_gains.out + first;
    *in = g_gains.in + first;
    return;
  }
  if (tabled > 0) {
    std::memcpy(g_frame_gain_out, g_gains.out + first, sizeof(double) * size_t(tabled));
    std::memcpy(g_frame_gain_in, g_gains.in + first, sizeof(double) * size_t(tabled));
  }
  for (int32_t i = tabled; i < count; ++i) {
    ShapeGains(fade.type, first + i, fade.width, &g_frame_gain_out[i], &g_frame_gain_in[i]);
  }
  *out = g_frame_gain_out;
  *in = g_frame_gain_in;
}

// Copies each of `count` frame gains to every sample of its frame: every
// channel of a frame mixes with the same gains. Mono and stereo have loops
// of their own, which vectorise.
void SpreadGains(const double* frame_gains, double* sample_gains, int32_t count,
                 int32_t channels) {
  if (channels == kMonoChannels) {
    std::memcpy(sample_gains, frame_gains, sizeof(double) * size_t(count));
  } else if (channels == kStereoChannels) {
    for (int32_t i = 0; i < count; ++i) {
      sample_gains[kStereoChannels * i] = frame_gains[i];
      sample_gains[kStereoChannels * i + 1] = frame_gains[i];
    }
  } else {
    for (int32_t i = 0; i < count; ++i) {
      for (int32_t c = 0; c < channels; ++c) sample_gains[channels * i + c] = frame_gains[i];
    }
  }
}

// Sets the gains of each sample of `count` frames from clip frame `first`
// on: one pair per frame, the fade-in side levelled, the same for every
// channel.
void FillSampleGains(const Fade& fade, int32_t first, int32_t count) {
  const double* gain_out = nullptr;
  const double* gain_in = nullptr;
  FrameGains(fade, first, count, &gain_out, &gain_in);
  if (fade.has_level) {
    for (int32_t i = 0; i < count; ++i) {
      g_frame_gain_in[i] = LevelledGain(gain_in[i], fade.level_factor);
    }
    gain_in = g_frame_gain_in;
  }
  SpreadGains(gain_out, g_sample_gain_out, count, fade.channels);
  SpreadGains(gain_in, g_sample_gain_in, count, fade.channels);
}

// Mixes `count` working samples of both windows into g_mixed with the gains
// of g_sample_gain_out and g_sample_gain_in in double precision (times
// `scale`, the 16-bit factor or 1), and flags in g_doubtful each result the
// extended-precision rule might truncate otherwise. Returns nonzero when any
// result is in doubt. Both products are the exact ones rounded once (a 32-bit
// sample converts exactly) and the sum is rounded once more, so the error is
// bounded by the sizes of the two terms; for a level factor below
// kMaxSettledLevelFactor every value lies inside int32.
SPLYCE_SAMPLE_LOOP
int32_t MixSettled(int32_t count, double scale) {
  int32_t any = 0;
  for (int32_t i = 0; i < count; ++i) {
    const double fade_out = static_cast<double>(g_destination_samples[i]) * g_sample_gain_out[i];
    const double fade_in = static_cast<double>(g_source_samples[i]) * g_sample_gain_in[i];
    const double sum = (fade_out + fade_in) * scale;
    const double margin = (std::fabs(fade_out) + std::fabs(fade_in)) * scale * kSettledTolerance;
    const int32_t low = static_cast<int32_t>(sum - margin);
    const int32_t high = static_cast<int32_t>(sum + margin);
    g_mixed[i] = low;
    g_doubtful[i] = int32_t(low != high);
    any |= g_doubtful[i];
  }
  return any;
}

// Flags every one of `count` results as in doubt: the mix of a level factor
// that the fast path does not take.
void MarkAllDoubtful(int32_t count) {
  for (int32_t i = 0; i < count; ++i) g_doubtful[i] = 1;
}

// Mixes `samples` samples of both windows into g_mixed: in double precision
// where the level factor allows, and in extended precision for each result
// left in doubt, then clipped to full scale. Returns the results beyond it.
int32_t MixSamples(const Fade& fade, int32_t samples) {
  const int32_t bps = fade.bytes_per_sample;
  DecodeFrames(g_destination_bytes, g_destination_samples, nullptr, bps, kMonoChannels, samples);
  DecodeFrames(g_source_bytes, g_source_samples, nullptr, bps, kMonoChannels, samples);
  const double level_factor = fade.has_level ? fade.level_factor : 1.0;
  int32_t doubtful = 1;
  if (level_factor < kMaxSettledLevelFactor) {
    doubtful = MixSettled(samples, bps == kBytes16Bit ? kWorkingTo16BitDouble : 1.0);
  } else {
    MarkAllDoubtful(samples);
  }
  for (int32_t i = 0; doubtful != 0 && i < samples; ++i) {
    if (g_doubtful[i] != 0) {
      g_mixed[i] = MixSample(g_destination_samples[i], g_source_samples[i], g_sample_gain_out[i],
                             g_sample_gain_in[i], bps);
    }
  }
  return int32_t(ClipToFullScale(g_mixed, samples, bps));
}

// Mixes `samples` samples of both windows' bytes into `out`, in the format
// the 16/24-bit paths do not take: integers (32-bit, or valid bits short of
// the container) in extended precision on the scale of their valid bits,
// clipped to full scale; floats in double precision, each product and the
// sum rounded in turn (rounded to float for 4-byte samples), and kept
// whatever their size. Returns the results beyond full scale.
int32_t MixWide(const Fade& fade, int32_t samples, uint8_t* out) {
  const int32_t bps = fade.bytes_per_sample;
  const int32_t valid = ValidBits(fade.format, bps);
  int32_t beyond = 0;
  for (int32_t i = 0; i < samples; ++i) {
    const int64_t at = int64_t(i) * bps;
    if (fade.format.encoding == kEncodingFloat) {
      const double d = GetFloatSample(g_destination_bytes + at, bps) * g_sample_gain_out[i];
      const double sum = d + GetFloatSample(g_source_bytes + at, bps) * g_sample_gain_in[i];
      PutFloatSample(sum, out + at, bps);
      beyond += std::fabs(GetFloatSample(out + at, bps)) > 1.0;
    } else {
      const long double y =
          static_cast<long double>(GetValidSample(g_destination_bytes + at, bps, valid)) *
              g_sample_gain_out[i] +
          static_cast<long double>(GetValidSample(g_source_bytes + at, bps, valid)) *
              g_sample_gain_in[i];
      bool clipped = false;
      PutValidSample(ClipToValidBits(y, valid, &clipped), out + at, bps, valid);
      beyond += clipped;
    }
  }
  return beyond;
}

// Mixes the W clip frames step by step from both windows into the clip
// buffer, and appends the buffer to the clip whenever it is full and at the
// end; counts the mixed values clipped to full scale into `clipped` when it
// is given. Interleaved samples mix and encode as one mono sequence. Returns
// false when a write fails.
bool AppendMix(Input* destination, Input* source, Clip* clip, const Fade& fade,
               int64_t* clipped) {
  bool written = true;
  const int32_t bps = fade.bytes_per_sample;
  const int64_t block_align = BlockAlign(bps, fade.channels);
  int64_t held = 0;  // bytes in g_clip
  const bool plain = IsPlainInteger(fade.format, bps);
  const int32_t step = std::min(kMixFrames, kMixSamples / fade.channels);
  for (int32_t done = 0; done < fade.width;) {
    const int32_t count = std::min(fade.width - done, step);
    const int32_t samples = count * fade.channels;
    const int64_t bytes = count * block_align;
    if (held + bytes > kClipBufferBytes) {
      written = Append(clip, g_clip, held) && written;
      held = 0;
    }
    ReadBlock(destination, g_destination_bytes, bytes, block_align);
    ReadBlock(source, g_source_bytes, bytes, block_align);
    FillSampleGains(fade, done, count);
    int32_t beyond = 0;
    if (plain) {
      beyond = MixSamples(fade, samples);
      EncodeFrames(g_mixed, nullptr, g_clip + held, bps, kMonoChannels, samples);
    } else {
      beyond = MixWide(fade, samples, g_clip + held);
    }
    if (clipped != nullptr) *clipped += beyond;
    held += bytes;
    done += count;
  }
  return Append(clip, g_clip, held) && written;
}

// Asks the system not to read ahead of the reads of an open file. The
// destination's window lies mostly in the part of the file not yet written,
// which reads as zeros: read-ahead there would fill the cache with pages of
// zeros, far more than the window, which the copy then overwrites. The
// destination's streams may share one open file, and the advice then holds
// for the rest of the run, where nothing else reads the destination but its
// header.
void TurnOffReadAhead(FILE* file) {
  if (file != nullptr) posix_fadvise(fileno(file), 0, 0, POSIX_FADV_RANDOM);
}

// Closes a file if it was opened.
void CloseIfOpen(FILE* file) {
  if (file != nullptr) std::fclose(file);
}

}  // namespace

// Sets the fade-out and fade-in gains of clip frame k of W; the level factor,
// when present, scales the fade-in side only.
void CrossfadeGains(int32_t type, int32_t k, int32_t width, double level_factor,
                    bool has_level, double* gain_out, double* gain_in) {
  ShapeGains(type, k, width, gain_out, gain_in);
  if (has_level) *gain_in = LevelledGain(*gain_in, level_factor);
}

// Mixes one destination and one source sample in extended precision and
// truncates toward zero on the scale of the output width, saturating at the
// int32 limits; the clip to the width comes after.
int32_t MixSample(int32_t d, int32_t s, double gain_out, double gain_in,
                  int32_t bytes_per_sample) {
  long double y = static_cast<long double>(d) * gain_out + static_cast<long double>(s) * gain_in;
  if (bytes_per_sample == kBytes16Bit) y *= kWorkingTo16Bit;
  return TruncateSaturated(y);
}

// Appends the W-frame crossfade clip of one splice. All three files are opened
// before any is tested, and every file opened is closed on every path.
int32_t CROSSFADE(int32_t insert_frame, int32_t read_start, int32_t width,
                  int32_t type, const char* destination_path,
                  const char* source_path, const char* clip_path,
                  int32_t channels, int32_t bytes_per_sample, double level_db,
                  int64_t* clipped, const SampleFormat& format) {
  const Fade fade = {width, type, DecibelsToGain(level_db), level_db != 0.0, channels,
                     bytes_per_sample, format};
  Input destination = {destination_path, OpenWithoutWaiting(destination_path, "rb"), 0, 0, 0, 0};
  Input source = {source_path, OpenWithoutWaiting(source_path, "rb"), 0, 0, 0, 0};
  TurnOffReadAhead(destination.file);
  Clip clip = {OpenForWriting(clip_path, "ab"), 0};
  const int64_t half = width / 2;
  const int64_t block_align = BlockAlign(bytes_per_sample, channels);
  int32_t status = OpenStatus(destination, source, clip.file);
  if (clip.file != nullptr) clip.end = FileLength(clip.file);
  if (status == kCrossfadeOk) {
    status = LocateWindows(&destination, &source, insert_frame - half, read_start - half,
                           block_align);
  }
  bool written = true;
  if (status == kCrossfadeOk && width > 0) {
    written = IsArithmeticFormat(format, bytes_per_sample, channels)
                  ? AppendMix(&destination, &source, &clip, fade, clipped)
                  : AppendSilence(&clip, width, block_align);
  }
  CloseIfOpen(destination.file);
  CloseIfOpen(source.file);
  if (clip.file != nullptr) CloseWrittenOrDie(clip.file, written, clip_path);
  return status;
}
