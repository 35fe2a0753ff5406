#include "dsp/convert.h"

#include <cmath>

namespace {

constexpr int32_t kBitsPerByte = 8;
constexpr int32_t kMono = 1;
constexpr int32_t kStereo = 2;

// Returns 2^exponent as a double, exactly.
double PowerOfTwo(int32_t exponent) { return std::ldexp(1.0, exponent); }

// Truncates toward zero and clips to the range of a `bits`-bit integer.
double TruncateToBits(double value, int32_t bits) {
  const double top = PowerOfTwo(bits - 1) - 1.0;
  if (std::isnan(value)) return 0.0;
  const double whole = std::trunc(value);
  return whole > top ? top : (whole < -top - 1.0 ? -top - 1.0 : whole);
}

}  // namespace

bool ChannelsConvert(int32_t from, int32_t to) {
  return from == to || from == kMono || (from == kStereo && to == kMono);
}

double ConvertSample(const uint8_t* bytes, const StreamFormat& from, const StreamFormat& to) {
  const bool float_in = from.samples.encoding == kEncodingFloat;
  const bool float_out = to.samples.encoding == kEncodingFloat;
  const int32_t bits_in = ValidBits(from.samples, from.bytes_per_sample);
  const int32_t bits_out = ValidBits(to.samples, to.bytes_per_sample);
  if (float_in) {
    const double x = GetFloatSample(bytes, from.bytes_per_sample);
    return float_out ? x : TruncateToBits(x * PowerOfTwo(bits_out - 1), bits_out);
  }
  const double x = GetValidSample(bytes, from.bytes_per_sample, bits_in);
  if (float_out) return x / PowerOfTwo(bits_in - 1);
  if (bits_out >= bits_in) return x * PowerOfTwo(bits_out - bits_in);
  return std::trunc(x / PowerOfTwo(bits_in - bits_out));
}

void ConvertFrames(const uint8_t* bytes, const StreamFormat& from, const StreamFormat& to,
                   int32_t frames, double* out) {
  const int64_t align = int64_t(from.bytes_per_sample) * from.channels;
  const bool integer_out = to.samples.encoding != kEncodingFloat;
  for (int32_t f = 0; f < frames; ++f) {
    const uint8_t* frame = bytes + f * align;
    double* put = out + int64_t(f) * to.channels;
    if (from.channels == to.channels) {
      for (int32_t c = 0; c < to.channels; ++c) {
        put[c] = ConvertSample(frame + c * from.bytes_per_sample, from, to);
      }
    } else if (from.channels == kMono) {
      const double v = ConvertSample(frame, from, to);
      for (int32_t c = 0; c < to.channels; ++c) put[c] = v;
    } else {  // two into one
      const double sum = ConvertSample(frame, from, to) +
                         ConvertSample(frame + from.bytes_per_sample, from, to);
      put[0] = integer_out ? std::trunc(sum / 2.0) : sum / 2.0;
    }
  }
}

int64_t EncodeConverted(const double* values, int64_t count, const StreamFormat& to,
                        uint8_t* bytes) {
  const int32_t bps = to.bytes_per_sample;
  if (to.samples.encoding == kEncodingFloat) {
    for (int64_t i = 0; i < count; ++i) PutFloatSample(values[i], bytes + i * bps, bps);
    return 0;
  }
  const int32_t bits = ValidBits(to.samples, bps);
  int64_t clipped = 0;
  for (int64_t i = 0; i < count; ++i) {
    const double v = TruncateToBits(values[i], bits);
    clipped += v != std::trunc(values[i]) && !std::isnan(values[i]);
    PutValidSample(int32_t(v), bytes + i * bps, bps, bits);
  }
  return clipped;
}
