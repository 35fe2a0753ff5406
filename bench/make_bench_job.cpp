// Writes the benchmark's job into a directory: four two-minute noise sources
// (big1.wav .. big4.wav), the task file task.txt, and segments.txt, which
// lists each segment as "source start gain_db" for the peer's command line.
//
//   make_bench_job DIR BITS VARIANT
//
// BITS is 16 or 24; VARIANT is "full" (a level and a crossfade on every
// segment after the first) or "plain" (unlevelled copies, no crossfades).
// Everything comes from fixed seeds, so the job is the same on every run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kRate = 48000;           // Hz
constexpr int32_t kChannels = 2;
constexpr int32_t kSourceSeconds = 120;
constexpr int32_t kSources = 4;
constexpr int32_t kSegments = 50;
constexpr int32_t kSegmentFrames = 96000;
constexpr int32_t kCrossfadeMs = 10;
constexpr int32_t kCrossfadeType = 1;      // equal power
// A crossfade reads half its width before the read start (frames).
constexpr int32_t kMinReadStart = kRate * kCrossfadeMs / 1000 / 2;
constexpr double kLowestLevel = -6.0;      // dB; levels lie in [-6, 0]
constexpr uint64_t kNoiseSeed = 0x5EEDF00DCAFEBEEFull;
constexpr uint64_t kJobSeed = 0x0123456789ABCDEFull;
constexpr int32_t kFramesPerWrite = 4096;

// Advances a xorshift64* generator and returns its next output.
uint64_t NextRandom(uint64_t* state) {
  uint64_t x = *state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  *state = x;
  return x * 0x2545F4914F6CDD1Dull;
}

// Returns a uniform integer in [low, high].
int32_t RandomBetween(uint64_t* state, int32_t low, int32_t high) {
  return low + int32_t(NextRandom(state) % uint64_t(high - low + 1));
}

// Stores the low `bytes` bytes of `value`, least significant first.
uint8_t* PutLittle(uint8_t* at, uint32_t value, int32_t bytes) {
  for (int32_t i = 0; i < bytes; ++i) at[i] = uint8_t((value >> (8 * i)) & 0xFF);
  return at + bytes;
}

// Writes one noise source of kSourceSeconds at `bits` bits, stereo.
bool WriteNoise(const char* path, int32_t bits, uint64_t* state) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  const int32_t sample_bytes = bits / 8;
  const uint32_t block_align = uint32_t(kChannels * sample_bytes);
  const uint32_t frames = uint32_t(kRate) * kSourceSeconds;
  const uint32_t data_bytes = frames * block_align;
  uint8_t header[44];
  uint8_t* at = header;
  std::memcpy(at, "RIFF", 4);
  at = PutLittle(at + 4, data_bytes + 36, 4);
  std::memcpy(at, "WAVEfmt ", 8);
  at = PutLittle(at + 8, 16, 4);
  at = PutLittle(at, 1, 2);
  at = PutLittle(at, kChannels, 2);
  at = PutLittle(at, kRate, 4);
  at = PutLittle(at, uint32_t(kRate) * block_align, 4);
  at = PutLittle(at, block_align, 2);
  at = PutLittle(at, uint32_t(bits), 2);
  std::memcpy(at, "data", 4);
  PutLittle(at + 4, data_bytes, 4);
  bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
  static uint8_t block[kFramesPerWrite * 6];
  for (uint32_t done = 0; ok && done < frames; done += kFramesPerWrite) {
    const uint32_t n = frames - done < uint32_t(kFramesPerWrite) ? frames - done : kFramesPerWrite;
    uint8_t* p = block;
    for (uint32_t i = 0; i < n * kChannels; ++i) {
      p = PutLittle(p, uint32_t(NextRandom(state) >> 32), sample_bytes);  // full-scale noise
    }
    ok = std::fwrite(block, 1, n * block_align, f) == n * block_align;
  }
  return std::fclose(f) == 0 && ok;
}

// Writes task.txt and segments.txt for the variant.
bool WriteJob(const char* dir, bool full) {
  char path[4096];
  std::snprintf(path, sizeof path, "%s/task.txt", dir);
  FILE* task = std::fopen(path, "w");
  std::snprintf(path, sizeof path, "%s/segments.txt", dir);
  FILE* segments = std::fopen(path, "w");
  if (task == nullptr || segments == nullptr) return false;
  std::fprintf(task, "using_samples\ndest\tbench_out.wav\n");
  uint64_t state = kJobSeed;
  const int32_t source_frames = kRate * kSourceSeconds;
  for (int32_t k = 0; k < kSegments; ++k) {
    const int32_t source = RandomBetween(&state, 1, kSources);
    const int32_t start = RandomBetween(&state, kMinReadStart, source_frames - kSegmentFrames);
    // Levels to a hundredth of a dB, from -6.00 to 0.00.
    const double level = full ? kLowestLevel + RandomBetween(&state, 0, 600) / 100.0 : 0.0;
    std::fprintf(task, "src\tbig%d.wav\nxin\t%d\nxout\t%d\n", source, start,
                 start + kSegmentFrames);
    if (full) std::fprintf(task, "lvl\t%.2f\n", level);
    if (full && k > 0) std::fprintf(task, "xf\t%d\t%d\n", kCrossfadeMs, kCrossfadeType);
    std::fprintf(segments, "%d %d %.2f\n", source, start, level);
  }
  const bool ok = std::fclose(segments) == 0;
  return std::fclose(task) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::printf("usage: make_bench_job DIR BITS full|plain\n");
    return 1;
  }
  const char* dir = argv[1];
  const int32_t bits = int32_t(std::atoi(argv[2]));
  const bool full = std::strcmp(argv[3], "full") == 0;
  if ((bits != 16 && bits != 24) || (!full && std::strcmp(argv[3], "plain") != 0)) {
    std::printf("BITS must be 16 or 24, VARIANT full or plain\n");
    return 1;
  }
  uint64_t state = kNoiseSeed;
  char path[4096];
  for (int32_t n = 1; n <= kSources; ++n) {
    std::snprintf(path, sizeof path, "%s/big%d.wav", dir, n);
    if (!WriteNoise(path, bits, &state)) {
      std::printf("Cannot write %s\n", path);
      return 1;
    }
  }
  if (!WriteJob(dir, full)) {
    std::printf("Cannot write the task file in %s\n", dir);
    return 1;
  }
  return 0;
}
