// Builds WAV files for tests byte by byte, independently of the code under test.
#ifndef SPLYCE_TESTS_SUPPORT_WAV_FIXTURE_H
#define SPLYCE_TESTS_SUPPORT_WAV_FIXTURE_H

#include <cstdint>
#include <string>
#include <vector>

namespace fixture {

using Bytes = std::vector<uint8_t>;

struct WavSpec {
  int32_t sample_rate = 44100;
  int32_t bits = 16;
  int32_t channels = 2;
  uint16_t format_code = 1;  // 3 for float; 0xFFFE for the extensible kind
  // Extra chunk of this many payload bytes between "fmt " and "data".
  int32_t extra_chunk_bytes = 0;
  // Bytes appended after the audio (a trailing chunk or junk).
  Bytes trailing = {};
  // Whole chunks (see Chunk) laid before the format chunk, and just before
  // the data chunk; and the data chunk first, the format chunk after it.
  Bytes before_format = {};
  Bytes before_data = {};
  bool data_first = false;
  // The extensible kind's subformat code (1 integer, 3 float), valid bits
  // (0: all of the container) and channel mask (0: front left and right, or
  // centre for mono).
  uint16_t subformat = 1;
  int32_t valid_bits = 0;
  uint32_t channel_mask = 0;
  // The block align declared (0: channels x bits / 8).
  int32_t block_align = 0;
  // The first four bytes ("RIFF"; "RIFX" for big-endian, "RF64" with a ds64
  // chunk that holds the sizes, whose own fields then read 0xFFFFFFFF).
  const char* riff = "RIFF";
};

// Interleaved samples (frame by frame, left then right) -> audio bytes.
Bytes EncodeSamples(const std::vector<int32_t>& samples, int32_t bits);
// Samples in containers of `bits` bits of which the high `valid_bits`
// carry them (the values given on the scale of `valid_bits`).
Bytes EncodeContained(const std::vector<int32_t>& samples, int32_t bits, int32_t valid_bits);
// Float samples of 32 or 64 bits.
Bytes EncodeFloats(const std::vector<double>& samples, int32_t bits);
std::vector<double> DecodeFloats(const Bytes& audio, int32_t bits);
// Audio bytes -> interleaved samples, sign-extended on their own width's scale.
std::vector<int32_t> DecodeSamples(const Bytes& audio, int32_t bits);

// One chunk: its tag, its size, its payload and, for an odd size, the pad
// byte unless `pad` is false.
Bytes Chunk(const char* tag, const Bytes& payload, bool pad = true);

// Returns `bytes` with the little-endian 32-bit field at `at` set to `value`.
Bytes WithField(Bytes bytes, size_t at, uint32_t value);
// The bytes of `text`.
Bytes Text(const std::string& text);

// A whole WAV file: header laid out per `layout`, then `audio`, then trailing.
Bytes MakeWav(const WavSpec& layout, const Bytes& audio);

// Deterministic pseudo-random interleaved samples over the full range of `bits`.
std::vector<int32_t> NoiseSamples(int32_t frames, int32_t channels, int32_t bits,
                                  uint32_t seed);
// A plain PCM format: what most sources and destinations of the tests are.
struct Format {
  int32_t rate;
  int32_t bits;
  int32_t channels;
  int32_t BlockAlign() const { return bits / 8 * channels; }
};

// The payload of an extra chunk that puts a file's audio at byte 78, not 44
// (bytes), for sources whose audio does not follow a 44-byte header.
constexpr int32_t kLongerHeader = 26;

// A WAV file of interleaved `samples` in format `f`, with an extra chunk of
// `extra_chunk_bytes` before the data (0: a 44-byte header); the one way the
// tests write a source. WriteNoise and WriteSilence write such files of
// noise and of silence, and return their samples.
Bytes WavBytes(const Format& f, const std::vector<int32_t>& samples, int32_t extra_chunk_bytes = 0);
void WriteWav(const std::string& path, const Format& f, const std::vector<int32_t>& samples,
              int32_t extra_chunk_bytes = 0);
std::vector<int32_t> WriteNoise(const std::string& path, const Format& f, int32_t frames,
                                uint32_t seed, int32_t extra_chunk_bytes = 0);
std::vector<int32_t> WriteSilence(const std::string& path, const Format& f, int32_t frames);

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_WAV_FIXTURE_H
