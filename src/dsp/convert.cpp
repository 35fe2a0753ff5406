#include "dsp/convert.h"

#include <cmath>

namespace {

constexpr int32_t kMono = 1;
constexpr int32_t kStereo = 2;

// How the samples of one conversion are turned: each decoded value is
// multiplied by `scale`, a power of two, which is exact; an integer
// destination then truncates toward zero and clips to [-top - 1, top].
struct Rule {
  bool float_in;
  int32_t bits_in;  // valid bits of an integer source
  double scale;
  bool integer_out;
  double top;
};

// The rule from `from` to `to`: an integer into a wider integer is shifted
// up, into a narrower one divided by the power of two between them; an
// integer into float is divided by 2^(bits - 1), a float into an integer
// multiplied by it; a float into a float keeps its value.
Rule RuleFor(const StreamFormat& from, const StreamFormat& to) {
  Rule rule = {from.samples.encoding == kEncodingFloat,
               ValidBits(from.samples, from.bytes_per_sample), 1.0,
               to.samples.encoding != kEncodingFloat, 0.0};
  const int32_t bits_out = ValidBits(to.samples, to.bytes_per_sample);
  if (rule.float_in && rule.integer_out) rule.scale = std::ldexp(1.0, bits_out - 1);
  if (!rule.float_in)
    rule.scale = std::ldexp(1.0, rule.integer_out ? bits_out - rule.bits_in : 1 - rule.bits_in);
  rule.top = std::ldexp(1.0, bits_out - 1) - 1.0;
  return rule;
}

// Truncates toward zero and clips to the rule's range, counting a value that
// lay beyond it; NaN becomes 0.
double Truncate(double value, const Rule& rule, int64_t* clipped) {
  if (std::isnan(value)) return 0.0;
  const double whole = std::trunc(value);
  const double kept =
      whole > rule.top ? rule.top : (whole < -rule.top - 1.0 ? -rule.top - 1.0 : whole);
  *clipped += kept != whole;
  return kept;
}

// Converts the sample at `bytes` by the rule.
double Convert(const uint8_t* bytes, const StreamFormat& from, const Rule& rule, int64_t* clipped) {
  const double x = rule.float_in ? GetFloatSample(bytes, from.bytes_per_sample)
                                 : GetValidSample(bytes, from.bytes_per_sample, rule.bits_in);
  return rule.integer_out ? Truncate(x * rule.scale, rule, clipped) : x * rule.scale;
}

}  // namespace

bool ChannelsConvert(int32_t from, int32_t to) {
  return from == to || from == kMono || (from == kStereo && to == kMono);
}

int64_t ConvertFrames(const uint8_t* bytes, const StreamFormat& from, const StreamFormat& to,
                      int32_t frames, double* out) {
  const Rule rule = RuleFor(from, to);
  const int64_t align = int64_t(from.bytes_per_sample) * from.channels;
  const int32_t bps = from.bytes_per_sample;
  int64_t clipped = 0;
  for (int32_t f = 0; f < frames; ++f) {
    const uint8_t* frame = bytes + f * align;
    double* put = out + int64_t(f) * to.channels;
    if (from.channels == to.channels) {
      for (int32_t c = 0; c < to.channels; ++c)
        put[c] = Convert(frame + c * bps, from, rule, &clipped);
    } else if (from.channels == kMono) {
      const double v = Convert(frame, from, rule, &clipped);
      for (int32_t c = 0; c < to.channels; ++c) put[c] = v;
    } else {  // two into one
      const double sum =
          Convert(frame, from, rule, &clipped) + Convert(frame + bps, from, rule, &clipped);
      put[0] = rule.integer_out ? std::trunc(sum / 2.0) : sum / 2.0;
    }
  }
  return clipped;
}

int64_t EncodeConverted(const double* values, int64_t count, const StreamFormat& to,
                        uint8_t* bytes) {
  const int32_t bps = to.bytes_per_sample;
  if (to.samples.encoding == kEncodingFloat) {
    for (int64_t i = 0; i < count; ++i) PutFloatSample(values[i], bytes + i * bps, bps);
    return 0;
  }
  const Rule rule = RuleFor(to, to);
  int64_t clipped = 0;
  for (int64_t i = 0; i < count; ++i) {
    PutValidSample(int32_t(Truncate(values[i], rule, &clipped)), bytes + i * bps, bps,
                   rule.bits_in);
  }
  return clipped;
}
