// Writes the demo's source recordings: short 16-bit stereo tones at 44100 Hz,
// each a different pitch, so every edit can be heard in the built file.
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int32_t kRate = 44100;    // Hz
constexpr int32_t kChannels = 2;
constexpr int32_t kBits = 16;
constexpr double kAmplitude = 12000.0;  // of 32767: leaves headroom for level changes
constexpr double kTwoPi = 6.283185307179586;

void PutU16(FILE* f, uint32_t v) {
  const uint8_t b[2] = {uint8_t(v & 0xFF), uint8_t((v >> 8) & 0xFF)};
  std::fwrite(b, 1, 2, f);
}

void PutU32(FILE* f, uint32_t v) {
  PutU16(f, v & 0xFFFF);
  PutU16(f, v >> 16);
}

// Writes `seconds` of a tone at `hertz`, panned slightly left to right.
bool WriteTone(const char* path, double hertz, int32_t seconds) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  const uint32_t frames = uint32_t(kRate * seconds);
  const uint32_t block_align = kChannels * kBits / 8;
  const uint32_t data_bytes = frames * block_align;
  std::fwrite("RIFF", 1, 4, f);
  PutU32(f, data_bytes + 36);
  std::fwrite("WAVEfmt ", 1, 8, f);
  PutU32(f, 16);
  PutU16(f, 1);
  PutU16(f, kChannels);
  PutU32(f, kRate);
  PutU32(f, kRate * block_align);
  PutU16(f, block_align);
  PutU16(f, kBits);
  std::fwrite("data", 1, 4, f);
  PutU32(f, data_bytes);
  for (uint32_t i = 0; i < frames; ++i) {
    const double s = std::sin(kTwoPi * hertz * i / kRate);
    PutU16(f, uint32_t(int32_t(std::lround(kAmplitude * 0.8 * s))) & 0xFFFF);
    PutU16(f, uint32_t(int32_t(std::lround(kAmplitude * s))) & 0xFFFF);
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main() {
  struct Tone { const char* path; double hertz; int32_t seconds; };
  const Tone tones[] = {{"intro.wav", 220.0, 3}, {"take1.wav", 330.0, 4},
                        {"take2.wav", 440.0, 4}, {"bed.wav", 110.0, 12}};
  for (const Tone& t : tones) {
    if (!WriteTone(t.path, t.hertz, t.seconds)) {
      std::printf("Cannot write %s\n", t.path);
      return 1;
    }
    std::printf("Wrote %s\n", t.path);
  }
  return 0;
}
