#include "dsp/crossfade.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/process.h"
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
// Largest |frames x block align| taken exactly (bytes); anything farther lies
// outside every file, and the bound keeps the sum with DataStart in int64.
constexpr int64_t kMaxOffsetBytes = INT64_MAX / 4;

// One file the clip is mixed from.
struct Input {
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
};

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

// Returns DataStart + frames x block align; offsets too far for any file
// saturate, so the window check rejects them without overflow.
int64_t FramePosition(int64_t data_start, int64_t frames, int64_t block_align) {
  if (block_align > 0 && frames > kMaxOffsetBytes / block_align) return INT64_MAX;
  if (block_align > 0 && frames < -(kMaxOffsetBytes / block_align)) return INT64_MIN;
  return data_start + frames * block_align;
}

// Finds where the input's audio begins and ends; false (with the message) if
// it has no data chunk and no "data" tag.
bool LocateData(Input* input) {
  const AudioSpan span = LocateAudio(input->file);
  if (!span.has_data) {
    std::fputs("Data block not found error\n", stdout);
    return false;
  }
  input->data_start = span.data_start;
  input->audio_end = span.audio_end;
  return true;
}

// Sets the input's read position to frame `first_frame`; reports whether that
// position lies within DataStart..size (a position at the end is accepted).
bool PlaceWindow(Input* input, int64_t first_frame, int64_t block_align) {
  input->position = FramePosition(input->data_start, first_frame, block_align);
  return input->data_start <= input->position && input->position <= input->size;
}

// Reports which of the three files failed to open, in the order destination,
// source, clip.
int32_t OpenStatus(const Input& destination, const Input& source, FILE* clip) {
  if (destination.file == nullptr) return kCrossfadeDestinationFailed;
  if (source.file == nullptr) return kCrossfadeSourceFailed;
  if (clip == nullptr) return kCrossfadeClipFailed;
  return kCrossfadeOk;
}

// Finds both DataStarts and checks the first frame of both windows, in that
// order; prints the message of the first failure.
int32_t LocateWindows(Input* destination, Input* source, int64_t destination_frame,
                      int64_t source_frame, int64_t block_align) {
  destination->size = FileLength(destination->file);
  source->size = FileLength(source->file);
  if (!LocateData(destination)) return kCrossfadeDestinationFailed;
  if (!LocateData(source)) return kCrossfadeSourceFailed;
  if (!PlaceWindow(destination, destination_frame, block_align)) {
    std::fputs("Invalid crossfade for destination file\n", stdout);
    return kCrossfadeDestinationFailed;
  }
  if (!PlaceWindow(source, source_frame, block_align)) {
    std::fputs("Invalid crossfade for source file\n", stdout);
    return kCrossfadeSourceFailed;
  }
  return kCrossfadeOk;
}

// Reads the next `bytes` of audio into `block` and advances the position.
// Frames past the end of the audio, a trailing partial frame and anything a
// short read leaves out count as silence.
void ReadBlock(Input* input, uint8_t* block, int64_t bytes, int64_t block_align) {
  int64_t wanted = input->audio_end - input->position;
  if (wanted > bytes) wanted = bytes;
  if (wanted < 0) wanted = 0;
  wanted -= wanted % block_align;
  int64_t got = 0;
  if (wanted > 0 && std::fseek(input->file, long(input->position), SEEK_SET) == 0) {
    got = int64_t(std::fread(block, 1, size_t(wanted), input->file));
  }
  got -= got % block_align;
  std::memset(block + got, 0, size_t(bytes - got));
  input->position += bytes;
}

// Appends `frames` frames of `block_align` zero bytes: the clip of a format
// the mixer cannot decode.
void AppendSilence(FILE* clip, int32_t frames, int64_t block_align) {
  static const uint8_t kZeros[kMaxBlockBytes] = {};
  for (int32_t k = 0; k < frames; ++k) {
    for (int64_t left = block_align; left > 0; left -= kMaxBlockBytes) {
      std::fwrite(kZeros, 1, size_t(left < kMaxBlockBytes ? left : kMaxBlockBytes), clip);
    }
  }
}

// Mixes `count` frames whose first is clip frame `first`, channel by channel,
// with one pair of gains per frame.
void MixFrames(const int32_t* const* destination, const int32_t* const* source,
               int32_t* const* mixed, int32_t count, int32_t first, const Fade& fade) {
  for (int32_t i = 0; i < count; ++i) {
    double gain_out = 0.0;
    double gain_in = 0.0;
    CrossfadeGains(fade.type, first + i, fade.width, fade.level_factor, fade.has_level,
                   &gain_out, &gain_in);
    for (int32_t c = 0; c < fade.channels; ++c) {
      mixed[c][i] = MixSample(destination[c][i], source[c][i], gain_out, gain_in,
                              fade.bytes_per_sample);
    }
  }
}

// Mixes the W clip frames block by block from both windows and appends them;
// counts the mixed values beyond full scale into `wrapped` when it is given.
void AppendMix(Input* destination, Input* source, FILE* clip, const Fade& fade,
               int64_t* wrapped) {
  uint8_t destination_block[kMaxBlockBytes];
  uint8_t source_block[kMaxBlockBytes];
  uint8_t clip_block[kMaxBlockBytes];
  int32_t destination_left[kBlockFrames], destination_right[kBlockFrames];
  int32_t source_left[kBlockFrames], source_right[kBlockFrames];
  int32_t mixed_left[kBlockFrames], mixed_right[kBlockFrames];
  const int32_t* const destination_channels[] = {destination_left, destination_right};
  const int32_t* const source_channels[] = {source_left, source_right};
  int32_t* const mixed_channels[] = {mixed_left, mixed_right};
  const int32_t bps = fade.bytes_per_sample;
  const int64_t block_align = BlockAlign(bps, fade.channels);
  for (int32_t done = 0; done < fade.width;) {
    const int32_t count = fade.width - done < kBlockFrames ? fade.width - done : kBlockFrames;
    const int64_t bytes = count * block_align;
    ReadBlock(destination, destination_block, bytes, block_align);
    ReadBlock(source, source_block, bytes, block_align);
    DecodeFrames(destination_block, destination_left, destination_right, bps, fade.channels,
                 count);
    DecodeFrames(source_block, source_left, source_right, bps, fade.channels, count);
    MixFrames(destination_channels, source_channels, mixed_channels, count, done, fade);
    if (wrapped != nullptr) {
      for (int32_t c = 0; c < fade.channels; ++c) {
        *wrapped += CountBeyondFullScale(mixed_channels[c], count, bps);
      }
    }
    EncodeFrames(mixed_left, mixed_right, clip_block, bps, fade.channels, count);
    std::fwrite(clip_block, 1, size_t(bytes), clip);
    done += count;
  }
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
  const long double m = width > 0 ? static_cast<long double>(k) / width : 0.0L;
  CurveGains(type, m, gain_out, gain_in);
  if (has_level) {
    *gain_in = static_cast<double>(static_cast<long double>(*gain_in) * level_factor);
  }
}

// Mixes one destination and one source sample in extended precision and
// truncates toward zero on the scale of the output width; no limiting.
int32_t MixSample(int32_t d, int32_t s, double gain_out, double gain_in,
                  int32_t bytes_per_sample) {
  long double y = static_cast<long double>(d) * gain_out + static_cast<long double>(s) * gain_in;
  if (bytes_per_sample == kBytes16Bit) y *= kWorkingTo16Bit;
  return TruncateToInt32(y);
}

// Appends the W-frame crossfade clip of one splice. All three files are opened
// before any is tested, and every file opened is closed on every path.
int32_t CROSSFADE(int32_t insert_frame, int32_t read_start, int32_t width,
                  int32_t type, const char* destination_path,
                  const char* source_path, const char* clip_path,
                  int32_t channels, int32_t bytes_per_sample, double level_db,
                  int64_t* wrapped) {
  const Fade fade = {width, type, DecibelsToGain(level_db), level_db != 0.0, channels,
                     bytes_per_sample};
  Input destination = {OpenWithoutWaiting(destination_path, "rb"), 0, 0, 0, 0};
  Input source = {OpenWithoutWaiting(source_path, "rb"), 0, 0, 0, 0};
  FILE* clip = std::fopen(clip_path, "ab");
  const int64_t half = width / 2;
  const int64_t block_align = BlockAlign(bytes_per_sample, channels);
  int32_t status = OpenStatus(destination, source, clip);
  if (status == kCrossfadeOk) {
    status = LocateWindows(&destination, &source, insert_frame - half, read_start - half,
                           block_align);
  }
  if (status == kCrossfadeOk && width > 0) {
    if (IsCodecFormat(bytes_per_sample, channels)) {
      AppendMix(&destination, &source, clip, fade, wrapped);
    } else {
      AppendSilence(clip, width, block_align);
    }
  }
  CloseIfOpen(destination.file);
  CloseIfOpen(source.file);
  CloseIfOpen(clip);
  return status;
}
