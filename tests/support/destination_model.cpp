#include "support/destination_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "wav/wav_file.h"

namespace fixture {

int32_t Clipped(long double value, int32_t bits) {
  const long double top = std::ldexp(1.0L, bits - 1) - 1;
  if (std::isnan(value)) return 0;
  return int32_t(value > top ? top : value < -top - 1 ? -top - 1 : value);
}

Bytes EmptyDestination(const Format& f, int32_t total) {
  return MakeWav({f.rate, f.bits, f.channels}, Bytes(size_t(total) * size_t(f.BlockAlign()), 0));
}

std::vector<int32_t> Levelled(const std::vector<int32_t>& samples, double level_db, int32_t bits) {
  if (level_db == 0.0) return samples;
  const double gain = std::pow(10.0, level_db / 20.0);
  std::vector<int32_t> out;
  for (int32_t v : samples) {
    // Scaling a 16-bit sample by 256 and back is exact, so the product on the
    // sample's own scale rounds the same way.
    const long double y = std::trunc((long double)v * gain);
    out.push_back(Clipped(y, bits));
  }
  return out;
}

void LayEdit(Bytes& destination, const Format& f, const std::vector<int32_t>& samples,
             int32_t read_start, int32_t frames, int32_t insert, double level_db) {
  const auto first = samples.begin() + int64_t(read_start) * f.channels;
  const std::vector<int32_t> part(first, first + int64_t(frames) * f.channels);
  const Bytes bytes = EncodeSamples(Levelled(part, level_db, f.bits), f.bits);
  const size_t at = size_t(kHeaderBytes) + size_t(insert) * size_t(f.BlockAlign());
  if (destination.size() < at + bytes.size()) destination.resize(at + bytes.size(), 0);
  std::memcpy(destination.data() + at, bytes.data(), bytes.size());
}

// The gain curves: M in long double, the angle rounded to double, gains
// rounded to double where they are stored, the level on the fade-in side.
void ReferenceGains(const Fade& fade, int32_t k, double* out, double* in) {
  const long double m = static_cast<long double>(k) / fade.width;
  const double angle = static_cast<double>(m * 1.570796327);
  const long double one = 1.0L;
  switch (fade.type) {
    case 1: *out = std::cos(angle); *in = std::sin(angle); break;
    case 2: *out = double(one - m); *in = double(one - (one - m)); break;
    case 3: *out = std::cos(angle); *in = double(one - std::cos(angle)); break;
    default: *out = double(one - std::sin(angle)); *in = double(one - (one - std::sin(angle)));
  }
  if (fade.level_db != 0.0) {
    *in = double(*in * static_cast<long double>(std::pow(10.0, fade.level_db / 20.0)));
  }
}

std::vector<int32_t> ReferenceClip(const Format& f, const Fade& fade, int32_t insert,
                                   int32_t read_start, const std::vector<int32_t>& dest,
                                   const std::vector<int32_t>& src) {
  const int32_t scale = f.bits == 16 ? 256 : 1;
  const int64_t half = fade.width / 2;
  std::vector<int32_t> clip;
  for (int32_t k = 0; k < fade.width; ++k) {
    double out = 0, in = 0;
    ReferenceGains(fade, k, &out, &in);
    for (int32_t c = 0; c < f.channels; ++c) {
      const int64_t d = (insert - half + k) * f.channels + c;
      const int64_t r = (read_start - half + k) * f.channels + c;
      const bool d_in = d >= 0 && size_t(d) < dest.size();
      const bool r_in = r >= 0 && size_t(r) < src.size();
      const long double dv = d_in ? (long double)dest[size_t(d)] * scale : 0;
      const long double sv = r_in ? (long double)src[size_t(r)] * scale : 0;
      clip.push_back(Clipped(std::trunc((dv * out + sv * in) / scale), f.bits));
    }
  }
  return clip;
}

namespace {

// Truncates toward zero and limits to the range of `valid_bits`-bit samples.
double ClippedToValid(long double y, int32_t valid_bits) {
  const long double top = std::ldexp(1.0L, valid_bits - 1) - 1;
  const long double t = std::trunc(y);
  return double(t > top ? top : t < -top - 1 ? -top - 1 : t);
}

}  // namespace

std::vector<double> WideNoise(const WideFormat& f, int32_t frames, uint32_t seed) {
  std::vector<double> out;
  uint64_t state = seed * 6364136223846793005ull + 1442695040888963407ull;
  for (int64_t i = 0; i < int64_t(frames) * f.channels; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const double unit = double(state >> 11) / double(uint64_t(1) << 53);  // [0, 1)
    if (f.is_float) {
      out.push_back(f.bits == 32 ? double(float(2.5 * unit - 1.25)) : 2.5 * unit - 1.25);
    } else {
      const double range = std::ldexp(1.0, f.valid_bits);
      out.push_back(std::floor(unit * range) - range / 2);
    }
  }
  return out;
}

Bytes EncodeWide(const WideFormat& f, const std::vector<double>& values) {
  if (f.is_float) return EncodeFloats(values, f.bits);
  std::vector<int32_t> integers(values.begin(), values.end());
  return EncodeContained(integers, f.bits, f.valid_bits);
}

std::vector<double> DecodeWide(const WideFormat& f, const Bytes& audio) {
  if (f.is_float) return DecodeFloats(audio, f.bits);
  std::vector<double> out;
  for (size_t at = 0; at + size_t(f.bits / 8) <= audio.size(); at += size_t(f.bits / 8)) {
    uint32_t bits = 0;
    for (int32_t k = 0; k < f.bits / 8; ++k) bits |= uint32_t(audio[at + size_t(k)]) << (8 * k);
    int64_t container = bits;
    if ((bits >> (f.bits - 1) & 1) != 0) container -= int64_t(1) << f.bits;
    out.push_back(std::floor(double(container) / std::ldexp(1.0, f.bits - f.valid_bits)));
  }
  return out;
}

Bytes MakeWideWav(const WideFormat& f, int32_t rate, const Bytes& audio) {
  WavSpec layout;
  layout.sample_rate = rate;
  layout.bits = f.bits;
  layout.channels = f.channels;
  const bool extensible = f.channels > 2 || f.valid_bits != f.bits;
  layout.format_code = extensible ? 0xFFFE : f.is_float ? 3 : 1;
  layout.subformat = f.is_float ? 3 : 1;
  layout.valid_bits = f.valid_bits;
  layout.channel_mask = f.mask;
  return MakeWav(layout, audio);
}

double LevelledWide(const WideFormat& f, double v, double level_db) {
  const double gain = std::pow(10.0, level_db / 20.0);
  if (!f.is_float) return ClippedToValid(static_cast<long double>(v) * gain, f.valid_bits);
  return f.bits == 32 ? double(float(v * gain)) : v * gain;
}

double MixedWide(const WideFormat& f, double d, double s, double out, double in) {
  if (!f.is_float) {
    return ClippedToValid(static_cast<long double>(d) * out + static_cast<long double>(s) * in,
                          f.valid_bits);
  }
  const double sum = d * out + s * in;
  return f.bits == 32 ? double(float(sum)) : sum;
}

Bytes AudioOf(const Bytes& wav) {
  for (size_t at = 12; at + 8 <= wav.size();) {
    const uint32_t size = uint32_t(wav[at + 4]) | uint32_t(wav[at + 5]) << 8 |
                          uint32_t(wav[at + 6]) << 16 | uint32_t(wav[at + 7]) << 24;
    if (std::memcmp(wav.data() + at, "data", 4) == 0) {
      const size_t end = std::min(wav.size(), at + 8 + size_t(size));
      return Bytes(wav.begin() + long(at + 8), wav.begin() + long(end));
    }
    at += 8 + size_t(size) + (size & 1);
  }
  return {};
}

}  // namespace fixture
