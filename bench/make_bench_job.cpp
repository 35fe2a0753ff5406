// Writes a benchmark job into a directory: four noise sources (big1.wav ..
// big4.wav), the task file task.txt, and segments.txt, which lists each
// segment as "source start gain_db" for the peer's command line.
//
//   make_bench_job DIR SAMPLES VARIANT [SEGMENTS SEGMENT_FRAMES CROSSFADE_MS]
//   make_bench_job DIR random SEED
//
// SAMPLES is the sources' sample format, 16, 24 or 32 (integer) or 32f
// (float), optionally followed by a comma and a channel count from 1 to 8
// ("32f", "24,6"; two channels when none is given); VARIANT is "full" (a level and a 10 ms crossfade on every
// segment after the first), "wide" (the same with 1000 ms crossfades) or
// "plain" (unlevelled copies, no crossfades). The optional numbers replace
// the job's 50 segments of 96000 frames and its crossfade width (for the
// scaling runs; a width of 0 leaves the crossfades out); sources grow beyond
// two minutes when a segment needs it.
// Everything comes from fixed seeds, so the job is the same on every run.
//
// The "random" form writes instead a small random task for comparing two
// builds: one to three short sources of one random format (16/24-bit,
// mono/stereo) named src1.wav.., and a task.txt of up to eight edits with
// random stretches, insert points, levels (nan, inf and -200 among them) and
// crossfades (types 0 to 5, widths up to 3000 ms) that writes out.wav.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kRate = 48000;           // Hz
constexpr int32_t kChannels = 2;          // unless the job names a count
constexpr int32_t kMaxChannels = 8;
constexpr int32_t kMaxSampleBytes = 4;
constexpr int32_t kSourceSeconds = 120;
constexpr int32_t kSources = 4;
constexpr int32_t kSegments = 50;
constexpr int32_t kSegmentFrames = 96000;
constexpr int32_t kCrossfadeMs = 10;
constexpr int32_t kWideCrossfadeMs = 1000;
constexpr int32_t kCrossfadeType = 1;      // equal power
constexpr double kLowestLevel = -6.0;      // dB; levels lie in [-6, 0]
constexpr uint64_t kNoiseSeed = 0x5EEDF00DCAFEBEEFull;
constexpr uint64_t kJobSeed = 0x0123456789ABCDEFull;
constexpr int32_t kFramesPerWrite = 4096;
// Random tasks: sources, edits and the formats they draw from.
constexpr int32_t kMaxRandomSources = 3;
constexpr int32_t kMaxRandomEdits = 8;
constexpr int32_t kRandomRates[] = {8000, 22050, 44100, 48000};
constexpr int32_t kMaxRandomWidthMs = 3000;
constexpr int32_t kMaxRandomType = 5;      // one past the last valid type

// One benchmark job's shape.
struct Job {
  int32_t bits;
  bool is_float;        // 32-bit float samples, from -1 to 1
  int32_t channels;
  bool levelled;        // a level and a crossfade on every segment after the first
  int32_t segments;
  int32_t segment_frames;
  int32_t crossfade_ms;
};

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

// The sample a noise source holds next: full-scale noise, or for the random
// tasks' sources one of a few shapes chosen by `shape` (quiet noise,
// constants, silence), which put products near whole numbers.
uint32_t NoiseSample(uint64_t* state, int32_t shape) {
  const uint32_t full = uint32_t(NextRandom(state) >> 32);
  switch (shape) {
    case 1: return full >> 20;  // small positive values
    case 2: return 3;
    case 3: return 0xFFFFFFFDu;  // -3 in every width
    case 4: return 0;
    case 5: return 0x7FFFFFFFu;  // full scale, positive
    default: return full;
  }
}

// The bytes of a noise sample in `bits`-bit integer or, for float, 32-bit
// float: the sample's top bits, so every width gets its full range.
uint8_t* PutNoise(uint8_t* at, uint32_t noise, int32_t bits, bool is_float) {
  if (!is_float) return PutLittle(at, noise >> (32 - bits), bits / 8);
  const float value = float(int32_t(noise)) / 2147483648.0f;
  uint32_t value_bits;
  std::memcpy(&value_bits, &value, 4);
  return PutLittle(at, value_bits, 4);
}

// Writes a noise source of `frames` frames at `bits` bits (float when
// `is_float`), `channels` channels and `rate` Hz, its samples of `shape` (0
// for full-scale noise).
bool WriteNoise(const char* path, int32_t bits, bool is_float, int32_t channels, int32_t rate,
                uint32_t frames, int32_t shape, uint64_t* state) {
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  const int32_t sample_bytes = bits / 8;
  const uint32_t block_align = uint32_t(channels * sample_bytes);
  const uint32_t data_bytes = frames * block_align;
  uint8_t header[44];
  uint8_t* at = header;
  std::memcpy(at, "RIFF", 4);
  at = PutLittle(at + 4, data_bytes + 36, 4);
  std::memcpy(at, "WAVEfmt ", 8);
  at = PutLittle(at + 8, 16, 4);
  at = PutLittle(at, is_float ? 3 : 1, 2);
  at = PutLittle(at, uint32_t(channels), 2);
  at = PutLittle(at, uint32_t(rate), 4);
  at = PutLittle(at, uint32_t(rate) * block_align, 4);
  at = PutLittle(at, block_align, 2);
  at = PutLittle(at, uint32_t(bits), 2);
  std::memcpy(at, "data", 4);
  PutLittle(at + 4, data_bytes, 4);
  bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
  static uint8_t block[kFramesPerWrite * kMaxChannels * kMaxSampleBytes];
  for (uint32_t done = 0; ok && done < frames; done += kFramesPerWrite) {
    const uint32_t n = frames - done < uint32_t(kFramesPerWrite) ? frames - done : kFramesPerWrite;
    uint8_t* p = block;
    for (uint32_t i = 0; i < n * uint32_t(channels); ++i) {
      p = PutNoise(p, NoiseSample(state, shape), bits, is_float);
    }
    ok = std::fwrite(block, 1, n * block_align, f) == n * block_align;
  }
  return std::fclose(f) == 0 && ok;
}

// Writes task.txt and segments.txt for the job.
bool WriteJob(const char* dir, const Job& job, int32_t source_frames) {
  char path[4096];
  std::snprintf(path, sizeof path, "%s/task.txt", dir);
  FILE* task = std::fopen(path, "w");
  std::snprintf(path, sizeof path, "%s/segments.txt", dir);
  FILE* segments = std::fopen(path, "w");
  if (task == nullptr || segments == nullptr) return false;
  std::fprintf(task, "using_samples\ndest\tbench_out.wav\n");
  uint64_t state = kJobSeed;
  // A crossfade reads half its width before the read start (frames).
  const int32_t min_read_start = int32_t(int64_t(kRate) * job.crossfade_ms / 1000 / 2);
  for (int32_t k = 0; k < job.segments; ++k) {
    const int32_t source = RandomBetween(&state, 1, kSources);
    const int32_t start =
        RandomBetween(&state, min_read_start, source_frames - job.segment_frames);
    // Levels to a hundredth of a dB, from -6.00 to 0.00.
    const double level = job.levelled ? kLowestLevel + RandomBetween(&state, 0, 600) / 100.0 : 0.0;
    std::fprintf(task, "src\tbig%d.wav\nxin\t%d\nxout\t%d\n", source, start,
                 start + job.segment_frames);
    if (job.levelled) std::fprintf(task, "lvl\t%.2f\n", level);
    if (job.levelled && k > 0 && job.crossfade_ms > 0) {
      std::fprintf(task, "xf\t%d\t%d\n", job.crossfade_ms, kCrossfadeType);
    }
    std::fprintf(segments, "%d %d %.2f\n", source, start, level);
  }
  const bool ok = std::fclose(segments) == 0;
  return std::fclose(task) == 0 && ok;
}

// Writes the job's sources and task; returns false (with a message) on failure.
bool WriteBenchJob(const char* dir, const Job& job) {
  const int32_t min_read_start = int32_t(int64_t(kRate) * job.crossfade_ms / 1000 / 2);
  int32_t source_frames = kRate * kSourceSeconds;
  if (source_frames < job.segment_frames + min_read_start + 1) {
    source_frames = job.segment_frames + min_read_start + 1;
  }
  uint64_t state = kNoiseSeed;
  char path[4096];
  for (int32_t n = 1; n <= kSources; ++n) {
    std::snprintf(path, sizeof path, "%s/big%d.wav", dir, n);
    if (!WriteNoise(path, job.bits, job.is_float, job.channels, kRate, uint32_t(source_frames), 0,
                    &state)) {
      std::printf("Cannot write %s\n", path);
      return false;
    }
  }
  if (!WriteJob(dir, job, source_frames)) {
    std::printf("Cannot write the task file in %s\n", dir);
    return false;
  }
  return true;
}

// Writes one of the random task's levels: mostly ordinary ones, and the
// values that only the exact paths settle.
void WriteRandomLevel(FILE* task, uint64_t* state) {
  const char* const kEdgeLevels[] = {"nan", "inf", "-inf", "-200", "23.9", "24.5", "0", "-0",
                                  "6.0206", "-6.0206", "-9.54242509439325", "1e-13"};
  const int32_t pick = RandomBetween(state, 0, 2 * int32_t(sizeof kEdgeLevels / sizeof kEdgeLevels[0]));
  if (pick < int32_t(sizeof kEdgeLevels / sizeof kEdgeLevels[0])) {
    std::fprintf(task, "lvl\t%s\n", kEdgeLevels[pick]);
  } else {
    std::fprintf(task, "lvl\t%.3f\n", RandomBetween(state, -40000, 23999) / 1000.0);
  }
}

// Writes one random edit of the task: a source, a stretch (in frames or
// seconds), sometimes an insert point, trim, level and crossfade.
void WriteRandomEdit(FILE* task, int32_t sources, int32_t rate, int32_t source_frames,
                     bool in_frames, uint64_t* state) {
  const double unit = in_frames ? 1.0 : double(rate);
  std::fprintf(task, "src\tsrc%d.wav\n", RandomBetween(state, 1, sources));
  const int32_t start = RandomBetween(state, 0, source_frames);
  // Mostly a stretch that runs forward from the start, sometimes any stop.
  const int32_t stop = RandomBetween(state, 0, 4) > 0
                           ? start + RandomBetween(state, 1, source_frames / 2)
                           : RandomBetween(state, 0, source_frames + rate / 10);
  if (RandomBetween(state, 0, 5) > 0) std::fprintf(task, "xin\t%.6f\n", start / unit);
  if (RandomBetween(state, 0, 3) > 0) std::fprintf(task, "xout\t%.6f\n", stop / unit);
  const int32_t insert_choice = RandomBetween(state, 0, 3);
  if (insert_choice == 0) std::fprintf(task, "ins\tapp\n");
  if (insert_choice == 1) {
    std::fprintf(task, "ins\t%.6f\n", RandomBetween(state, 0, 2 * source_frames) / unit);
  }
  if (RandomBetween(state, 0, 7) == 0) {
    std::fprintf(task, "trim\t%.6f\n", RandomBetween(state, 0, rate / 2) / unit);
  }
  if (RandomBetween(state, 0, 3) > 0) WriteRandomLevel(task, state);
  if (RandomBetween(state, 0, 3) > 0) {
    // Mostly narrow crossfades, which fit the stretches; now and then a wide one.
    const int32_t widest_ms = RandomBetween(state, 0, 2) > 0 ? kMaxRandomWidthMs / 10 : kMaxRandomWidthMs;
    std::fprintf(task, "xf\t%.2f\t%d\n", RandomBetween(state, 0, 100 * widest_ms) / 100.0,
                 RandomBetween(state, 0, kMaxRandomType));
  }
}

// Writes a random task and its sources for comparing two builds.
bool WriteRandomTask(const char* dir, uint64_t seed) {
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (int32_t k = 0; k < 4; ++k) NextRandom(&state);  // spread nearby seeds apart
  const int32_t bits = RandomBetween(&state, 0, 1) == 0 ? 16 : 24;
  const int32_t channels = RandomBetween(&state, 1, 2);
  const int32_t rate = kRandomRates[RandomBetween(&state, 0, 3)];
  const int32_t sources = RandomBetween(&state, 1, kMaxRandomSources);
  const int32_t source_frames = RandomBetween(&state, rate / 2, 6 * rate);
  char path[4096];
  for (int32_t n = 1; n <= sources; ++n) {
    std::snprintf(path, sizeof path, "%s/src%d.wav", dir, n);
    // Mostly full-scale noise; now and then a shape that stresses the exact paths.
    const int32_t shape = RandomBetween(&state, 0, 9) < 5 ? 0 : RandomBetween(&state, 1, 5);
    if (!WriteNoise(path, bits, false, channels, rate, uint32_t(source_frames), shape, &state)) {
      return false;
    }
  }
  std::snprintf(path, sizeof path, "%s/task.txt", dir);
  FILE* task = std::fopen(path, "w");
  if (task == nullptr) return false;
  const bool in_frames = RandomBetween(&state, 0, 1) == 0;
  if (in_frames) std::fprintf(task, "using_samples\n");
  std::fprintf(task, "dest\tout.wav\n");
  const int32_t edits = RandomBetween(&state, 1, kMaxRandomEdits);
  for (int32_t k = 0; k < edits; ++k) {
    WriteRandomEdit(task, sources, rate, source_frames, in_frames, &state);
  }
  return std::fclose(task) == 0;
}

// Reads the job's sample format and channel count from SAMPLES ("24",
// "32f", "24,6"); returns false when it is not one the job can write.
bool ReadSamples(const char* text, Job* job) {
  char* end = nullptr;
  job->bits = int32_t(std::strtol(text, &end, 10));
  job->is_float = *end == 'f';
  if (job->is_float) ++end;
  job->channels = kChannels;
  if (*end == ',') job->channels = int32_t(std::strtol(end + 1, &end, 10));
  const bool known_bits = job->is_float ? job->bits == 32
                                        : job->bits == 16 || job->bits == 24 || job->bits == 32;
  return *end == '\0' && known_bits && job->channels >= 1 && job->channels <= kMaxChannels;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[2], "random") == 0) {
    if (WriteRandomTask(argv[1], std::strtoull(argv[3], nullptr, 10))) return 0;
    std::printf("Cannot write the random task in %s\n", argv[1]);
    return 1;
  }
  if (argc != 4 && argc != 7) {
    std::printf("usage: make_bench_job DIR SAMPLES full|wide|plain [SEGMENTS SEGMENT_FRAMES "
                "CROSSFADE_MS]\n       make_bench_job DIR random SEED\n");
    return 1;
  }
  Job job = {0, false, kChannels, std::strcmp(argv[3], "plain") != 0, kSegments, kSegmentFrames,
             std::strcmp(argv[3], "wide") == 0 ? kWideCrossfadeMs : kCrossfadeMs};
  const bool known_samples = ReadSamples(argv[2], &job);
  const bool known = std::strcmp(argv[3], "full") == 0 || std::strcmp(argv[3], "wide") == 0 ||
                     std::strcmp(argv[3], "plain") == 0;
  if (argc == 7) {
    job.segments = int32_t(std::atoi(argv[4]));
    job.segment_frames = int32_t(std::atoi(argv[5]));
    job.crossfade_ms = int32_t(std::atoi(argv[6]));
  }
  if (!known_samples || !known || job.segments <= 0 || job.segment_frames <= 0 ||
      job.crossfade_ms < 0) {
    std::printf("SAMPLES must be 16, 24, 32 or 32f with an optional ,CHANNELS of 1 to 8, VARIANT "
                "full, wide or plain, the numbers positive\n");
    return 1;
  }
  return WriteBenchJob(argv[1], job) ? 0 : 1;
}
