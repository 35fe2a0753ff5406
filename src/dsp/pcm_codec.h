// PCM sample codec: 16/24-bit little-endian frames <-> 32-bit working samples.
//
// Decoding puts both widths on the 24-bit scale (a 16-bit sample is multiplied
// by 256). Encoders take values on the scale of their own output width and keep
// only the low 16 or 24 bits: nothing is clipped, out-of-range values wrap.
#ifndef SPLYCE_DSP_PCM_CODEC_H
#define SPLYCE_DSP_PCM_CODEC_H

#include <cstdint>
#include <limits>

// Frames moved by every copy, silence and mix loop in one step.
constexpr int32_t kBlockFrames = 1024;
// Largest frame handled: 24-bit stereo (bytes).
constexpr int32_t kMaxBlockAlign = 6;
// One block of the widest supported frame (bytes).
constexpr int32_t kMaxBlockBytes = kBlockFrames * kMaxBlockAlign;
// Supported channel counts.
constexpr int32_t kMonoChannels = 1;
constexpr int32_t kStereoChannels = 2;
// Supported sample widths (bytes per sample).
constexpr int32_t kBytes16Bit = 2;
constexpr int32_t kBytes24Bit = 3;
// Brings a 16-bit working-sample product back to the 16-bit scale (1/256).
constexpr long double kWorkingTo16Bit = 0.00390625L;
// Sample products are truncated from extended precision (64-bit significand).
static_assert(std::numeric_limits<long double>::digits >= 64,
              "sample arithmetic needs an extended-precision long double");

// Truncates toward zero; NaN and values whose truncation lies outside int32
// give INT32_MIN, which every encoder writes as silence.
int32_t TruncateToInt32(long double y);

// Byte routines: one value at a time, the arithmetic of the header fields.
uint16_t Assem2(const uint8_t* bytes);
int32_t Assem4(const uint8_t* bytes);
void Decon2(uint16_t value, uint8_t* bytes);
void Decon4(int32_t value, uint8_t* bytes);
void BITS16_TO_BYTES2(int32_t& low, int32_t& high, int32_t value);
void BITS24_TO_BYTES3(int32_t& low, int32_t& middle, int32_t& high, int32_t value);
void TWOS_COMP16(int32_t& low, int32_t& high, int32_t sign);
void TWOS_COMP24(int32_t& low, int32_t& middle, int32_t& high, int32_t sign);

// Decoders: byte buffer first, then sample arrays, bytes per sample, count.
// Widths other than 2 and 3 leave the arrays untouched.
void CHAR_TO_NUM32(const uint8_t* bytes, int32_t* samples, int32_t bytes_per_sample,
                   int32_t count);
void CHAR_TO_NUM32_STEREO(const uint8_t* bytes, int32_t* left, int32_t* right,
                          int32_t bytes_per_sample, int32_t count);

// Encoders: sample arrays first, then the byte buffer, then count.
void NUM16MONO_TO_CHAR(const int32_t* samples, uint8_t* bytes, int32_t count);
void NUM24MONO_TO_CHAR(const int32_t* samples, uint8_t* bytes, int32_t count);
void NUM16STER_TO_CHAR(const int32_t* left, const int32_t* right, uint8_t* bytes,
                       int32_t count);
void NUM24STER_TO_CHAR(const int32_t* left, const int32_t* right, uint8_t* bytes,
                       int32_t count);

// Block helpers for the four supported formats (16/24-bit, mono/stereo).
// Reports whether the codec handles this width and channel count.
bool IsCodecFormat(int32_t bytes_per_sample, int32_t channels);
// Counts the first `count` values that lie outside the range of the output
// width (16-bit values for width 2, 24-bit for 3): the ones an encoder wraps.
int64_t CountBeyondFullScale(const int32_t* values, int32_t count, int32_t bytes_per_sample);
// Decodes `count` frames into `left` (and `right` for stereo; unused for mono).
void DecodeFrames(const uint8_t* bytes, int32_t* left, int32_t* right,
                  int32_t bytes_per_sample, int32_t channels, int32_t count);
// Encodes `count` frames from `left` (and `right` for stereo).
void EncodeFrames(const int32_t* left, const int32_t* right, uint8_t* bytes,
                  int32_t bytes_per_sample, int32_t channels, int32_t count);

#endif  // SPLYCE_DSP_PCM_CODEC_H
