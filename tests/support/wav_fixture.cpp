#include "support/wav_fixture.h"

#include <cstring>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fixture {
namespace {

// Little-endian appenders.
void PutU16(Bytes& out, uint32_t v) {
  out.push_back(uint8_t(v & 0xFF));
  out.push_back(uint8_t((v >> 8) & 0xFF));
}

void PutU32(Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t((v >> shift) & 0xFF));
}

void PutTag(Bytes& out, const char* tag) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(tag[i]));
}

// Encodes one sample value (on its own width's scale) little-endian.
void PutSample(Bytes& out, int32_t value, int32_t bits) {
  const uint32_t u = static_cast<uint32_t>(value);
  for (int shift = 0; shift < bits; shift += 8) out.push_back(uint8_t((u >> shift) & 0xFF));
}

}  // namespace

Bytes EncodeSamples(const std::vector<int32_t>& samples, int32_t bits) {
  Bytes out;
  for (int32_t s : samples) PutSample(out, s, bits);
  return out;
}

std::vector<int32_t> DecodeSamples(const Bytes& audio, int32_t bits) {
  const size_t width = size_t(bits / 8);
  std::vector<int32_t> out;
  for (size_t i = 0; i + width <= audio.size(); i += width) {
    uint32_t u = 0;
    for (size_t b = 0; b < width; ++b) u |= uint32_t(audio[i + b]) << (8 * b);
    const int64_t range = int64_t(1) << bits;
    int64_t v = int64_t(u);
    if (v >= range / 2) v -= range;
    out.push_back(int32_t(v));
  }
  return out;
}

static void Append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes WithField(Bytes bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
  return bytes;
}

Bytes Chunk(const char* tag, const Bytes& payload, bool pad) {
  Bytes out;
  PutTag(out, tag);
  PutU32(out, uint32_t(payload.size()));
  Append(out, payload);
  if (pad && payload.size() % 2 == 1) out.push_back(0);
  return out;
}

Bytes MakeWav(const WavSpec& layout, const Bytes& audio) {
  const bool extensible = layout.format_code == 0xFFFE;
  const uint32_t block_align = uint32_t(layout.block_align > 0 ? layout.block_align
                                                                : layout.channels * layout.bits / 8);
  Bytes format;  // the format chunk's payload: 16 bytes, or 40 for the extensible kind
  PutU16(format, layout.format_code);
  PutU16(format, uint32_t(layout.channels));
  PutU32(format, uint32_t(layout.sample_rate));
  PutU32(format, uint32_t(layout.sample_rate) * block_align);
  PutU16(format, block_align);
  PutU16(format, uint32_t(layout.bits));
  if (extensible) {
    PutU16(format, 22);  // extension size
    PutU16(format, uint32_t(layout.valid_bits > 0 ? layout.valid_bits : layout.bits));
    PutU32(format, layout.channel_mask != 0 ? layout.channel_mask : layout.channels == 2 ? 3u : 4u);
    // The sub-format GUID {0000000X-0000-0010-8000-00AA00389B71}.
    PutU16(format, layout.subformat);
    const uint8_t guid_rest[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    format.insert(format.end(), guid_rest, guid_rest + 14);
  }
  Bytes chunks = Chunk("fmt ", format);
  if (layout.extra_chunk_bytes > 0) {  // no pad byte: an odd size moves "data" to an odd offset
    Append(chunks, Chunk("LIST", Bytes(size_t(layout.extra_chunk_bytes), uint8_t('x')), false));
  }
  Append(chunks, layout.before_data);
  const bool rf64 = std::string(layout.riff) == "RF64";
  Bytes data = Chunk("data", audio, false);  // the audio keeps its own length
  if (rf64) data = WithField(data, 4, 0xFFFFFFFF);
  Bytes out;
  PutTag(out, layout.riff);
  PutU32(out, 0);  // patched below
  PutTag(out, "WAVE");
  if (rf64) {  // the 64-bit sizes: RIFF (patched below), data and frames, and no table
    Bytes ds64(28, 0);
    ds64 = WithField(ds64, 8, uint32_t(audio.size()));
    ds64 = WithField(ds64, 16, uint32_t(audio.size() / block_align));
    Append(out, Chunk("ds64", ds64));
  }
  Append(out, layout.before_format);
  Append(out, layout.data_first ? data : chunks);
  Append(out, layout.data_first ? chunks : data);
  Append(out, layout.trailing);
  if (rf64) return WithField(WithField(out, 4, 0xFFFFFFFF), 20, uint32_t(out.size() - 8));
  return WithField(out, 4, uint32_t(out.size() - 8));
}

Bytes EncodeContained(const std::vector<int32_t>& samples, int32_t bits, int32_t valid_bits) {
  Bytes out;
  for (int32_t v : samples) {
    const uint32_t shifted = uint32_t(v) << (bits - valid_bits);
    for (int32_t k = 0; k < bits / 8; ++k) out.push_back(uint8_t(shifted >> (8 * k)));
  }
  return out;
}

Bytes EncodeFloats(const std::vector<double>& samples, int32_t bits) {
  Bytes out;
  for (double v : samples) {
    uint8_t bytes[8];
    if (bits == 32) {
      const float narrow = float(v);
      std::memcpy(bytes, &narrow, 4);
    } else {
      std::memcpy(bytes, &v, 8);
    }
    out.insert(out.end(), bytes, bytes + bits / 8);
  }
  return out;
}

std::vector<double> DecodeFloats(const Bytes& audio, int32_t bits) {
  std::vector<double> out;
  for (size_t at = 0; at + size_t(bits / 8) <= audio.size(); at += size_t(bits / 8)) {
    if (bits == 32) {
      float v;
      std::memcpy(&v, audio.data() + at, 4);
      out.push_back(double(v));
    } else {
      double v;
      std::memcpy(&v, audio.data() + at, 8);
      out.push_back(v);
    }
  }
  return out;
}

std::vector<int32_t> NoiseSamples(int32_t frames, int32_t channels, int32_t bits,
                                  uint32_t seed) {
  std::vector<int32_t> out;
  uint32_t state = seed * 2654435761u + 12345u;
  const int64_t range = int64_t(1) << bits;
  for (int64_t i = 0; i < int64_t(frames) * channels; ++i) {
    state = state * 1664525u + 1013904223u;  // LCG: repeatable across runs
    int64_t v = int64_t(state >> (32 - bits));
    if (v >= range / 2) v -= range;
    out.push_back(int32_t(v));
  }
  return out;
}

Bytes WavBytes(const Format& f, const std::vector<int32_t>& samples, int32_t extra_chunk_bytes) {
  WavSpec layout;
  layout.sample_rate = f.rate;
  layout.bits = f.bits;
  layout.channels = f.channels;
  layout.extra_chunk_bytes = extra_chunk_bytes;
  return MakeWav(layout, EncodeSamples(samples, f.bits));
}

void WriteWav(const std::string& path, const Format& f, const std::vector<int32_t>& samples,
              int32_t extra_chunk_bytes) {
  WriteFile(path, WavBytes(f, samples, extra_chunk_bytes));
}

std::vector<int32_t> WriteNoise(const std::string& path, const Format& f, int32_t frames,
                                uint32_t seed, int32_t extra_chunk_bytes) {
  const std::vector<int32_t> samples = NoiseSamples(frames, f.channels, f.bits, seed);
  WriteWav(path, f, samples, extra_chunk_bytes);
  return samples;
}

std::vector<int32_t> WriteSilence(const std::string& path, const Format& f, int32_t frames) {
  const std::vector<int32_t> samples(size_t(frames) * size_t(f.channels), 0);
  WriteWav(path, f, samples);
  return samples;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace fixture
