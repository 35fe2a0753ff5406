// Writes the source recordings of the example task files into the working
// directory: steady tones, each at its own pitch, so that every edit can be
// heard in the built file. Most are 16-bit stereo at 44100 Hz; those used
// by frames.txt and the voice takes of mixed.txt are 24-bit mono at 48000 Hz.
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

// Of full scale (12000 of 32767 at 16 bits): leaves headroom for level changes.
constexpr double kAmplitude = 12000.0 / 32767.0;
constexpr double kLeftShare = 0.8;  // the left channel is a little quieter than the right
constexpr double kTwoPi = 6.283185307179586;
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kFormatChunkBytes = 16;
constexpr uint32_t kFormatCodePcm = 1;
// Header bytes that the RIFF size counts besides the data.
constexpr uint32_t kRiffSizeOverData = 36;

struct Format {
  int32_t rate;  // Hz
  int32_t channels;
  int32_t bits;
};

constexpr Format kCdStereo = {44100, 2, 16};
constexpr Format kMono24 = {48000, 1, 24};

struct Tone {
  const char* path;
  double hertz;
  int32_t seconds;
  Format format;
};

// demo.txt: intro, take1, take2, bed. programme.txt: intro, take1, take2,
// outro. patch.txt: interview, pickup. frames.txt: beat, accent. mixed.txt:
// bed and outro (music at 44100 Hz, 16-bit stereo), voice1 and voice2 (voice
// takes at 48000 Hz, 24-bit mono).
constexpr Tone kTones[] = {
    {"intro.wav", 220.0, 3, kCdStereo},  {"take1.wav", 330.0, 4, kCdStereo},
    {"take2.wav", 440.0, 4, kCdStereo},  {"bed.wav", 110.0, 12, kCdStereo},
    {"outro.wav", 165.0, 6, kCdStereo},  {"interview.wav", 196.0, 20, kCdStereo},
    {"pickup.wav", 294.0, 4, kCdStereo}, {"beat.wav", 100.0, 2, kMono24},
    {"accent.wav", 1000.0, 1, kMono24},  {"voice1.wav", 247.0, 6, kMono24},
    {"voice2.wav", 262.0, 5, kMono24},
};

// Writes the low `bytes` bytes of `v`, least significant first.
void PutLE(FILE* f, uint32_t v, uint32_t bytes) {
  for (uint32_t i = 0; i < bytes; ++i) std::fputc(int((v >> (kBitsPerByte * i)) & 0xFF), f);
}

void WriteHeader(FILE* f, const Format& format, uint32_t data_bytes) {
  const uint32_t block_align = uint32_t(format.channels * format.bits) / kBitsPerByte;
  std::fputs("RIFF", f);
  PutLE(f, data_bytes + kRiffSizeOverData, 4);
  std::fputs("WAVEfmt ", f);
  PutLE(f, kFormatChunkBytes, 4);
  PutLE(f, kFormatCodePcm, 2);
  PutLE(f, uint32_t(format.channels), 2);
  PutLE(f, uint32_t(format.rate), 4);
  PutLE(f, uint32_t(format.rate) * block_align, 4);
  PutLE(f, block_align, 2);
  PutLE(f, uint32_t(format.bits), 2);
  std::fputs("data", f);
  PutLE(f, data_bytes, 4);
}

// Writes `tone` as a canonical WAV file; false when it cannot be written.
bool WriteTone(const Tone& tone) {
  FILE* f = std::fopen(tone.path, "wb");
  if (f == nullptr) return false;
  const Format& format = tone.format;
  const uint32_t bytes = uint32_t(format.bits) / kBitsPerByte;
  const uint32_t frames = uint32_t(format.rate * tone.seconds);
  const double full_scale = double((1 << (format.bits - 1)) - 1);
  WriteHeader(f, format, frames * bytes * uint32_t(format.channels));
  for (uint32_t i = 0; i < frames; ++i) {
    const double s = kAmplitude * full_scale * std::sin(kTwoPi * tone.hertz * i / format.rate);
    if (format.channels == 2) PutLE(f, uint32_t(int32_t(std::lround(kLeftShare * s))), bytes);
    PutLE(f, uint32_t(int32_t(std::lround(s))), bytes);
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main() {
  for (const Tone& tone : kTones) {
    if (!WriteTone(tone)) {
      std::printf("Cannot write %s\n", tone.path);
      return 1;
    }
    std::printf("Wrote %s\n", tone.path);
  }
  return 0;
}
