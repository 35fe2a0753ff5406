#include "dsp/pcm_codec.h"

#include <climits>
#include <cmath>

namespace {

// Bit positions of bytes 1, 2 and 3 of a little-endian integer.
constexpr int32_t kByte3Shift = 24;
constexpr uint32_t kByteMask = 0xFF;
// Place values of bytes 1, 2 and 3 of a little-endian integer.
constexpr int32_t kByte1Place = 256;
constexpr int32_t kByte2Place = 65536;
constexpr int32_t kByte3Place = 16777216;
// Largest byte value that reads as non-negative when taken as signed.
constexpr int32_t kMaxSignedByte = 127;
// Largest value of an int32 (as unsigned), for the two's-complement reading.
constexpr uint32_t kMaxInt32Bits = 0x7FFFFFFF;
constexpr int32_t kBitsPerByte = 8;
constexpr int32_t kBitsPer32 = 32;
// Open bounds of the values whose truncation fits int32.
constexpr long double kBelowInt32 = -2147483649.0L;
constexpr long double kAboveInt32 = 2147483648.0L;

// Reads a 32-bit pattern as two's complement without an out-of-range conversion.
int32_t FromBits32(uint32_t bits) {
  if (bits <= kMaxInt32Bits) return int32_t(bits);
  return -int32_t(~bits) - 1;
}

// Keeps the low 32 bits of a wider value, as two's complement.
int32_t Wrap32(int64_t value) { return FromBits32(uint32_t(uint64_t(value))); }

// Reports whether the decoders handle this sample width.
bool IsCodecWidth(int32_t bytes_per_sample) {
  return bytes_per_sample == kBytes16Bit || bytes_per_sample == kBytes24Bit;
}

// Maps a byte value 0..255 to its signed reading -128..127.
int32_t SignedByte(int32_t cell) { return cell > kMaxSignedByte ? cell - kByte1Place : cell; }

// Multiplies a cell by sign and, for a negative sign, subtracts 1 (the ones'
// complement step of the encoders); wraps instead of overflowing.
int32_t ApplySign(int32_t cell, int32_t sign) {
  int64_t v = int64_t(cell) * sign;
  if (sign < 0) v -= 1;
  return Wrap32(v);
}

// Decodes `count` samples of width `bytes_per_sample` that follow one
// another. Called with a constant width, so that each copy the compiler makes
// of it moves samples of a width it knows and vectorises.
inline void DecodeSequence(const uint8_t* bytes, int32_t* samples, int32_t bytes_per_sample,
                           int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    samples[i] = GetSample(bytes + int64_t(i) * bytes_per_sample, bytes_per_sample);
  }
}

// Encodes `count` values as samples of width `bytes_per_sample` that follow
// one another; called with a constant width for the same reason.
inline void EncodeSequence(const int32_t* samples, uint8_t* bytes, int32_t bytes_per_sample,
                           int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    PutSample(samples[i], bytes + int64_t(i) * bytes_per_sample, bytes_per_sample);
  }
}

// DecodeSequence and EncodeSequence for 16-bit and for 24-bit samples.
SPLYCE_SAMPLE_LOOP
void DecodeSequence16(const uint8_t* bytes, int32_t* samples, int32_t count) {
  DecodeSequence(bytes, samples, kBytes16Bit, count);
}
SPLYCE_SAMPLE_LOOP
void DecodeSequence24(const uint8_t* bytes, int32_t* samples, int32_t count) {
  DecodeSequence(bytes, samples, kBytes24Bit, count);
}
SPLYCE_SAMPLE_LOOP
void EncodeSequence16(const int32_t* samples, uint8_t* bytes, int32_t count) {
  EncodeSequence(samples, bytes, kBytes16Bit, count);
}
SPLYCE_SAMPLE_LOOP
void EncodeSequence24(const int32_t* samples, uint8_t* bytes, int32_t count) {
  EncodeSequence(samples, bytes, kBytes24Bit, count);
}

SPLYCE_BYTE_PERMUTE_LOOP
void DecodeSequence24Permuting(const uint8_t* bytes, int32_t* samples, int32_t count) {
  DecodeSequence(bytes, samples, kBytes24Bit, count);
}
SPLYCE_BYTE_PERMUTE_LOOP
void EncodeSequence24Permuting(const int32_t* samples, uint8_t* bytes, int32_t count) {
  EncodeSequence(samples, bytes, kBytes24Bit, count);
}

// Reports whether the processor runs the byte-permute copies.
bool CanPermuteBytes() {
#ifdef SPLYCE_NO_BYTE_PERMUTE_COPY
  return false;
#else
  __builtin_cpu_init();  // may run before the loader's own initialisation
  return __builtin_cpu_supports("x86-64-v4") && __builtin_cpu_supports("avx512vbmi");
#endif
}
const bool g_permutes_bytes = CanPermuteBytes();

// The 24-bit loops, in the byte-permute copy where the processor has it.
void Decode24(const uint8_t* bytes, int32_t* samples, int32_t count) {
  if (g_permutes_bytes) {
    DecodeSequence24Permuting(bytes, samples, count);
  } else {
    DecodeSequence24(bytes, samples, count);
  }
}
void Encode24(const int32_t* samples, uint8_t* bytes, int32_t count) {
  if (g_permutes_bytes) {
    EncodeSequence24Permuting(samples, bytes, count);
  } else {
    EncodeSequence24(samples, bytes, count);
  }
}

}  // namespace

// Truncates toward zero; NaN and values outside int32 give INT32_MIN. The
// comparisons reject NaN too, so no conversion is ever out of range.
int32_t TruncateToInt32(long double y) {
  if (!(y > kBelowInt32 && y < kAboveInt32)) return INT32_MIN;
  return static_cast<int32_t>(y);
}

// The comparisons let NaN through to the end, so no conversion is ever out
// of range.
int32_t TruncateSaturated(long double y) {
  if (y >= kAboveInt32 - 1.0L) return INT32_MAX;
  if (y <= kBelowInt32 + 1.0L) return INT32_MIN;
  if (!(y == y)) return 0;
  return static_cast<int32_t>(y);
}

// Assembles the little-endian unsigned 16-bit value of two bytes.
uint16_t Assem2(const uint8_t* bytes) {
  return uint16_t(uint32_t(bytes[0]) | uint32_t(bytes[1]) << kByte1Shift);
}

// Assembles the little-endian 32-bit word of four bytes as a signed value.
int32_t Assem4(const uint8_t* bytes) {
  return FromBits32(uint32_t(bytes[0]) | uint32_t(bytes[1]) << kByte1Shift |
                    uint32_t(bytes[2]) << (kByte2Shift) |
                    uint32_t(bytes[3]) << (kByte3Shift));
}

// Splits a 16-bit value into its two little-endian bytes.
void Decon2(uint16_t value, uint8_t* bytes) {
  bytes[0] = uint8_t(value & kByteMask);
  bytes[1] = uint8_t(uint32_t(value) >> kByte1Shift);
}

// Splits a value into bytes by truncating division from the top byte down;
// each byte keeps the low 8 bits of its quotient. For a non-negative value
// these are its four little-endian bytes.
void Decon4(int32_t value, uint8_t* bytes) {
  const int32_t byte3 = value / kByte3Place;
  int32_t rest = value - byte3 * kByte3Place;
  const int32_t byte2 = rest / kByte2Place;
  rest -= byte2 * kByte2Place;
  const int32_t byte1 = rest / kByte1Place;
  bytes[3] = uint8_t(uint32_t(byte3) & kByteMask);
  bytes[2] = uint8_t(uint32_t(byte2) & kByteMask);
  bytes[1] = uint8_t(uint32_t(byte1) & kByteMask);
  bytes[0] = ByteOf(value, 0);
}

// Splits a value into a high part (value / 256) and a low remainder.
void BITS16_TO_BYTES2(int32_t& low, int32_t& high, int32_t value) {
  high = value / kByte1Place;
  low = value % kByte1Place;
}

// Splits a value into high (value / 65536), middle and low parts.
void BITS24_TO_BYTES3(int32_t& low, int32_t& middle, int32_t& high, int32_t value) {
  high = value / kByte2Place;
  middle = (value % kByte2Place) / kByte1Place;
  low = value - high * kByte2Place - middle * kByte1Place;
}

// Reads the low cell as a signed byte, then applies sign to both cells; with
// sign -1 this complements the bytes of a split ones' complement.
void TWOS_COMP16(int32_t& low, int32_t& high, int32_t sign) {
  low = ApplySign(SignedByte(low), sign);
  high = ApplySign(high, sign);
}

// Reads the low and middle cells as signed bytes, then applies sign to all three.
void TWOS_COMP24(int32_t& low, int32_t& middle, int32_t& high, int32_t sign) {
  low = ApplySign(SignedByte(low), sign);
  middle = ApplySign(SignedByte(middle), sign);
  high = ApplySign(high, sign);
}

// Decodes `count` mono frames into working samples; other widths leave
// `samples` untouched.
void CHAR_TO_NUM32(const uint8_t* bytes, int32_t* samples, int32_t bytes_per_sample,
                   int32_t count) {
  if (bytes_per_sample == kBytes16Bit) DecodeSequence16(bytes, samples, count);
  if (bytes_per_sample == kBytes24Bit) Decode24(bytes, samples, count);
}

// Decodes `count` stereo frames, left sample first in each frame.
void CHAR_TO_NUM32_STEREO(const uint8_t* bytes, int32_t* left, int32_t* right,
                          int32_t bytes_per_sample, int32_t count) {
  if (!IsCodecWidth(bytes_per_sample)) return;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* frame = bytes + int64_t(i) * kStereoChannels * bytes_per_sample;
    left[i] = GetSample(frame, bytes_per_sample);
    right[i] = GetSample(frame + bytes_per_sample, bytes_per_sample);
  }
}

// Writes the low 16 bits of each value as a mono frame.
void NUM16MONO_TO_CHAR(const int32_t* samples, uint8_t* bytes, int32_t count) {
  EncodeSequence16(samples, bytes, count);
}

// Writes the low 24 bits of each value as a mono frame.
void NUM24MONO_TO_CHAR(const int32_t* samples, uint8_t* bytes, int32_t count) {
  Encode24(samples, bytes, count);
}

// Writes 16-bit stereo frames, left sample first.
void NUM16STER_TO_CHAR(const int32_t* left, const int32_t* right, uint8_t* bytes,
                       int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    uint8_t* frame = bytes + int64_t(i) * kStereoChannels * kBytes16Bit;
    Put16(left[i], frame);
    Put16(right[i], frame + kBytes16Bit);
  }
}

// Writes 24-bit stereo frames, left sample first.
void NUM24STER_TO_CHAR(const int32_t* left, const int32_t* right, uint8_t* bytes,
                       int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    uint8_t* frame = bytes + int64_t(i) * kStereoChannels * kBytes24Bit;
    Put24(left[i], frame);
    Put24(right[i], frame + kBytes24Bit);
  }
}

// Reports whether the codec handles this width and channel count.
bool IsCodecFormat(int32_t bytes_per_sample, int32_t channels) {
  return IsCodecWidth(bytes_per_sample) && (channels == kMonoChannels || channels == kStereoChannels);
}

bool IsPlainInteger(const SampleFormat& format, int32_t bytes_per_sample) {
  return format.encoding == kEncodingInteger && IsCodecWidth(bytes_per_sample) &&
         ValidBits(format, bytes_per_sample) == bytes_per_sample * kBitsPerByte;
}

bool IsArithmeticFormat(const SampleFormat& format, int32_t bytes_per_sample, int32_t channels) {
  if (channels < 1 || channels > kMaxChannels) return false;
  if (format.encoding == kEncodingFloat) {
    return bytes_per_sample == kBytes32Bit || bytes_per_sample == kBytes64Bit;
  }
  const int32_t valid = ValidBits(format, bytes_per_sample);
  return format.encoding == kEncodingInteger && bytes_per_sample >= kBytes16Bit &&
         bytes_per_sample <= kBytes32Bit && valid >= kBitsPerByte &&
         valid <= bytes_per_sample * kBitsPerByte;
}

int32_t ValidBits(const SampleFormat& format, int32_t bytes_per_sample) {
  return format.valid_bits > 0 ? format.valid_bits : bytes_per_sample * kBitsPerByte;
}

// Reads the container's bytes as a sign-extended integer, then keeps its
// valid bits: an arithmetic shift, written out so that a negative value
// never meets a shift the language leaves to the compiler.
int32_t GetValidSample(const uint8_t* p, int32_t bytes_per_sample, int32_t valid_bits) {
  uint32_t bits = 0;
  for (int32_t k = 0; k < bytes_per_sample; ++k) bits |= uint32_t(p[k]) << (kBitsPerByte * k);
  const int32_t width = bytes_per_sample * kBitsPerByte;
  if (width < kBitsPer32) bits = (bits ^ (1u << (width - 1))) - (1u << (width - 1));
  const int32_t container = FromBits32(bits);
  const int32_t shift = width - valid_bits;
  return container >= 0 ? container >> shift : ~(~container >> shift);
}

void PutValidSample(int32_t v, uint8_t* p, int32_t bytes_per_sample, int32_t valid_bits) {
  const uint32_t bits = uint32_t(v) << (bytes_per_sample * kBitsPerByte - valid_bits);
  for (int32_t k = 0; k < bytes_per_sample; ++k) p[k] = uint8_t(bits >> (kBitsPerByte * k));
}

double GetFloatSample(const uint8_t* p, int32_t bytes_per_sample) {
  if (bytes_per_sample == kBytes32Bit) {
    float v = 0.0f;
    std::memcpy(&v, p, sizeof v);
    return double(v);
  }
  double v = 0.0;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void PutFloatSample(double v, uint8_t* p, int32_t bytes_per_sample) {
  if (bytes_per_sample == kBytes32Bit) {
    const float narrow = RoundToFloat(v);
    std::memcpy(p, &narrow, sizeof narrow);
  } else {
    std::memcpy(p, &v, sizeof v);
  }
}

int32_t ClipToValidBits(long double y, int32_t valid_bits, bool* beyond) {
  const int64_t top = (int64_t(1) << (valid_bits - 1)) - 1;
  const int32_t v = TruncateSaturated(y);
  *beyond = v > top || v < -top - 1 || y >= kAboveInt32 || y <= kBelowInt32;
  if (v > top) return int32_t(top);
  if (v < -top - 1) return int32_t(-top - 1);
  return v;
}

// FLT_MAX plus half its unit in the last place: from there on, rounding to
// nearest gives infinity.
float RoundToFloat(double value) {
  if (std::isnan(value)) return NAN;
  const double overflow = double(FLT_MAX) + std::ldexp(1.0, 103);
  if (value >= overflow) return INFINITY;
  if (value <= -overflow) return -INFINITY;
  if (value > double(FLT_MAX)) return FLT_MAX;
  if (value < -double(FLT_MAX)) return -FLT_MAX;
  return float(value);
}

// Decodes with the mono or the stereo decoder, as the channel count asks.
void DecodeFrames(const uint8_t* bytes, int32_t* left, int32_t* right,
                  int32_t bytes_per_sample, int32_t channels, int32_t count) {
  if (channels == kMonoChannels) {
    CHAR_TO_NUM32(bytes, left, bytes_per_sample, count);
  } else {
    CHAR_TO_NUM32_STEREO(bytes, left, right, bytes_per_sample, count);
  }
}

// Encodes with the one of the four encoders that matches the format.
void EncodeFrames(const int32_t* left, const int32_t* right, uint8_t* bytes,
                  int32_t bytes_per_sample, int32_t channels, int32_t count) {
  const bool wide = bytes_per_sample == kBytes24Bit;
  if (channels == kMonoChannels) {
    if (wide) NUM24MONO_TO_CHAR(left, bytes, count);
    else NUM16MONO_TO_CHAR(left, bytes, count);
  } else {
    if (wide) NUM24STER_TO_CHAR(left, right, bytes, count);
    else NUM16STER_TO_CHAR(left, right, bytes, count);
  }
}

// Counts and clips in one pass over the values.
SPLYCE_SAMPLE_LOOP
int64_t ClipToFullScale(int32_t* values, int32_t count, int32_t bytes_per_sample) {
  const int32_t top = FullScaleTop(bytes_per_sample);
  int64_t beyond = 0;
  for (int32_t i = 0; i < count; ++i) {
    beyond += BeyondRange(values[i], -top - 1, top);
    values[i] = Clamp(values[i], -top - 1, top);
  }
  return beyond;
}
