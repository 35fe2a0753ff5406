// PCM sample codec: 16/24-bit little-endian frames <-> 32-bit working samples,
// in blocks; and one sample at a time, every supported format.
//
// Block decoding puts both widths on the 24-bit scale (a 16-bit sample is
// multiplied by 256). Block encoders take values on the scale of their own
// output width and keep only the low 16 or 24 bits, so callers clip first
// (ClipToFullScale) where a value may lie outside it. 32-bit integer and
// float samples, and integers whose valid bits fall short of their
// container, go through the one-sample helpers.
#ifndef SPLYCE_DSP_PCM_CODEC_H
#define SPLYCE_DSP_PCM_CODEC_H

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>

// Frames moved by every copy, silence and mix loop in one step.
constexpr int32_t kBlockFrames = 1024;
// The most channels a stream may have.
constexpr int32_t kMaxChannels = 32;
// The widest sample: 64-bit float (bytes).
constexpr int32_t kMaxSampleBytes = 8;
// Encodings of samples: the format codes a WAV file's "fmt " chunk gives them.
constexpr int32_t kEncodingInteger = 1;
constexpr int32_t kEncodingFloat = 3;
// Widths of the wider samples (bytes per sample).
constexpr int32_t kBytes32Bit = 4;
constexpr int32_t kBytes64Bit = 8;

// How the samples of a stream are held besides their width and channels:
// integer or float, and for integers the bits that carry the sample, the
// high ones of its container (0: all of them), the low ones zero.
struct SampleFormat {
  int32_t encoding;
  int32_t valid_bits;
};
// 16- or 24-bit integer samples that fill their containers: the format the
// level and mix stages have their fast paths for.
constexpr SampleFormat kPcmSamples = {kEncodingInteger, 0};
// Largest frame of the block codec: 24-bit stereo (bytes).
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
// The same factor as a double: a power of two, so scaling by it is exact.
constexpr double kWorkingTo16BitDouble = 0.00390625;
// Sample products are truncated from extended precision (64-bit significand).
static_assert(std::numeric_limits<long double>::digits >= 64,
              "sample arithmetic needs an extended-precision long double");

// Bit positions of bytes 1 and 2 of a little-endian integer.
constexpr int32_t kByte1Shift = 8;
constexpr int32_t kByte2Shift = 16;
// Sign bits of a 16-bit and a 24-bit sample.
constexpr int32_t kSign16 = 0x8000;
constexpr int32_t kSign24 = 0x800000;
// A 16-bit sample times this is a working sample (24-bit scale).
constexpr int32_t kWorkingPer16Bit = 256;

// One sample at a time, inline so that the sample loops of the level and mix
// stages take them into their vectorised bodies.
// Returns bits `shift` to `shift + 7` of v's two's-complement form.
inline uint8_t ByteOf(int32_t v, int32_t shift) { return uint8_t(uint32_t(v) >> shift); }

// Reads two bytes as a little-endian 16-bit value. On a little-endian machine
// it is one 16-bit load, which the vectoriser takes where it gives up on a
// loop that loads bytes in pairs.
inline int32_t Little16(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint16_t v = 0;
  std::memcpy(&v, p, sizeof v);
  return int32_t(v);
#else
  return int32_t(p[0]) | int32_t(p[1]) << kByte1Shift;
#endif
}

// Decodes one little-endian 16-bit sample onto the working scale.
inline int32_t Get16(const uint8_t* p) {
  return ((Little16(p) ^ kSign16) - kSign16) * kWorkingPer16Bit;
}

// Decodes one little-endian 24-bit sample, sign-extended without touching bit 31.
inline int32_t Get24(const uint8_t* p) {
  const int32_t v = int32_t(p[0]) | int32_t(p[1]) << kByte1Shift | int32_t(p[2]) << kByte2Shift;
  return (v ^ kSign24) - kSign24;
}

// Decodes one sample of width 2 or 3 onto the working scale.
inline int32_t GetSample(const uint8_t* p, int32_t bytes_per_sample) {
  return bytes_per_sample == kBytes16Bit ? Get16(p) : Get24(p);
}

// Writes the low 16 bits of v, least significant byte first; one 16-bit
// store on a little-endian machine, for the same reason.
inline void Put16(int32_t v, uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const uint16_t low = uint16_t(uint32_t(v));
  std::memcpy(p, &low, sizeof low);
#else
  p[0] = ByteOf(v, 0);
  p[1] = ByteOf(v, kByte1Shift);
#endif
}

// Writes the low 24 bits of v, least significant byte first.
inline void Put24(int32_t v, uint8_t* p) {
  p[0] = ByteOf(v, 0);
  p[1] = ByteOf(v, kByte1Shift);
  p[2] = ByteOf(v, kByte2Shift);
}

// Writes the low 16 or 24 bits of v as a sample of width 2 or 3.
inline void PutSample(int32_t v, uint8_t* p, int32_t bytes_per_sample) {
  if (bytes_per_sample == kBytes16Bit) {
    Put16(v, p);
  } else {
    Put24(v, p);
  }
}

// Returns the largest value of the output width (16-bit values for width 2,
// 24-bit for 3); its range runs from -top - 1 to top.
constexpr int32_t FullScaleTop(int32_t bytes_per_sample) {
  return (bytes_per_sample == kBytes16Bit ? kSign16 : kSign24) - 1;
}

// Truncates toward zero; NaN and values whose truncation lies outside int32
// give INT32_MIN, which every encoder writes as silence.
int32_t TruncateToInt32(long double y);

// Truncates toward zero, saturating at the int32 limits; NaN gives 0. The
// level and mix stages form their results with it, so that a value beyond
// int32 still clips to the full scale of its sign.
int32_t TruncateSaturated(long double y);

// The fast paths of the level and mix stages form their results in double
// precision and keep them only where the extended-precision rule is sure to
// truncate alike. Their error bound needs double-rounded arithmetic, as with
// SSE2; x87 evaluation in extended precision would break it.
static_assert(FLT_EVAL_METHOD == 0, "the sample fast paths need double-rounded arithmetic");
// Relative bound, with room to spare, on the distance between a double result
// (a product, or a sum of two products, rounded at each step) and the same
// expression in extended precision, taken of the sum of the terms' sizes:
// both lie within about 2^-52 of the exact value.
constexpr double kSettledTolerance = 0x1p-50;
// Reports 1 when v lies outside [bottom, top], the range of an output width:
// a value the level and mix stages clip. Branch-free for the same loops.
inline int32_t BeyondRange(int32_t v, int32_t bottom, int32_t top) {
  return int32_t(v > top) | int32_t(v < bottom);
}

// Returns v limited to [bottom, top]; branch-free for the same loops.
inline int32_t Clamp(int32_t v, int32_t bottom, int32_t top) {
  return v > top ? top : (v < bottom ? bottom : v);
}

// The sample loops of the level and mix stages run in copies built for
// AVX-512 (x86-64-v4) and for AVX2 beside the plain one, the best the
// processor takes chosen when the program loads, where the compiler supports
// it; results are the same bit for bit, as no instruction that changes
// rounding (such as a fused multiply-add) is used. The 24-bit codec loops
// have one more copy, for AVX-512 VBMI, whose byte permutes move 3-byte
// samples in and out of 32-bit lanes; the loader cannot choose by that
// feature, so the codec chooses itself.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__)
#define SPLYCE_SAMPLE_LOOP __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#define SPLYCE_BYTE_PERMUTE_LOOP __attribute__((target("arch=x86-64-v4,avx512vbmi")))
#else
#define SPLYCE_SAMPLE_LOOP
#define SPLYCE_BYTE_PERMUTE_LOOP
#define SPLYCE_NO_BYTE_PERMUTE_COPY
#endif

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

// Block helpers for 16- and 24-bit samples that fill their containers.
// Reports whether the codec handles this width and channel count: 16 or 24
// bits, 1 or 2 channels.
bool IsCodecFormat(int32_t bytes_per_sample, int32_t channels);
// Reports whether samples of this format and width take the 16/24-bit
// paths: integers that fill 2- or 3-byte containers.
bool IsPlainInteger(const SampleFormat& format, int32_t bytes_per_sample);
// Reports whether the level and mix stages can do arithmetic on samples of
// this format, width and channel count: integers in 2-, 3- or 4-byte
// containers of 8 valid bits or more, floats of 4 or 8 bytes, 1 to
// kMaxChannels channels.
bool IsArithmeticFormat(const SampleFormat& format, int32_t bytes_per_sample, int32_t channels);

// One sample of any supported format at a time, for the arithmetic on the
// wider formats. A sample of integer format is read on the scale of its
// valid bits and written back shifted into its container.
int32_t GetValidSample(const uint8_t* p, int32_t bytes_per_sample, int32_t valid_bits);
void PutValidSample(int32_t v, uint8_t* p, int32_t bytes_per_sample, int32_t valid_bits);
double GetFloatSample(const uint8_t* p, int32_t bytes_per_sample);
void PutFloatSample(double v, uint8_t* p, int32_t bytes_per_sample);
// The bits that carry an integer sample of this format and width.
int32_t ValidBits(const SampleFormat& format, int32_t bytes_per_sample);
// Truncates `y` toward zero and limits it to the range of a `valid_bits`-bit
// sample; NaN gives 0. Sets *beyond when it was outside that range.
int32_t ClipToValidBits(long double y, int32_t valid_bits, bool* beyond);
// Rounds a double to the nearest float; beyond the float range the result
// is the infinity of that sign, as IEEE rounding gives, without relying on
// an out-of-range conversion.
float RoundToFloat(double value);
// Limits the first `count` values to the range of the output width (16-bit
// values for width 2, 24-bit for 3), so that an over-loud result clips to
// full scale instead of wrapping in the encoder; returns how many lay
// outside it.
int64_t ClipToFullScale(int32_t* values, int32_t count, int32_t bytes_per_sample);
// Decodes `count` frames into `left` (and `right` for stereo; unused for mono).
void DecodeFrames(const uint8_t* bytes, int32_t* left, int32_t* right,
                  int32_t bytes_per_sample, int32_t channels, int32_t count);
// Encodes `count` frames from `left` (and `right` for stereo).
void EncodeFrames(const int32_t* left, const int32_t* right, uint8_t* bytes,
                  int32_t bytes_per_sample, int32_t channels, int32_t count);

#endif  // SPLYCE_DSP_PCM_CODEC_H
