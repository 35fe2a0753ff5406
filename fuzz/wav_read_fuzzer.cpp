// Fuzz target: reading a WAV file. The input is the whole file. The
// chunk-tag scan runs over the bytes and over the file (whose two-step read
// must agree with one scan of the bytes and with a plain reference scan), the
// chunk walk and LocateAudio must agree with a reference walk over the bytes,
// then GET_ATTRIBUTES reads the file's format, which must follow from where
// the file's format and audio were found.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/files.h"
#include "fuzz_support.h"
#include "wav/wav_file.h"

namespace {

constexpr char kWavName[] = "in.wav";

struct Attributes {
  int32_t channels[1], data_start[1], sample_rate[1], frame_count[1], bytes_per_sample[1],
      bits[1];
};

Attributes g_attributes;

// The scan as the design states it: even offsets 2 to 131072, the tag wholly
// inside the bytes, the first match wins. Returns -1 when there is none.
int64_t ReferenceScan(const uint8_t* data, size_t size, const char* tag, size_t length) {
  for (size_t at = 2; at <= 131072; at += 2) {
    if (at + length > size) return -1;
    if (std::memcmp(data + at, tag, length) == 0) return int64_t(at);
  }
  return -1;
}

// Runs the in-memory scan and the file scan for one tag; both must give the
// reference result. Returns that result.
int64_t CheckScans(const uint8_t* data, size_t size, const char* tag, int32_t length) {
  const int64_t want = ReferenceScan(data, size, tag, size_t(length));
  int32_t in_bytes = -1;
  const bool found_in_bytes = FindTagInBytes(data, int64_t(size), tag, length, &in_bytes);
  if (found_in_bytes != (want >= 0) || (found_in_bytes && in_bytes != want)) {
    fuzz::Broken("FindTagInBytes differs from the reference scan");
  }
  FILE* file = std::fopen(kWavName, "rb");
  if (file == nullptr) fuzz::Broken("cannot open the input file");
  int32_t in_file = -1;
  const bool found_in_file = FindChunkTag(file, tag, length, &in_file);
  std::fclose(file);
  if (found_in_file != (want >= 0) || (found_in_file && in_file != want)) {
    fuzz::Broken("FindChunkTag differs from the reference scan");
  }
  return want;
}

// Where the reference model finds the format fields and the audio.
struct Expected {
  int64_t format_at;   // -1: none
  int64_t data_start;  // -1: none
  int64_t audio_end;
};

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// An unsigned 64-bit little-endian size; one from 2^62 on counts as 0.
int64_t Le64(const uint8_t* p) {
  const uint64_t v = uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
  return v >= (uint64_t(1) << 62) ? 0 : int64_t(v);
}

// The walk as the rules state it, over the bytes: a RIFF or RF64 (BW64) file
// of form WAVE, from offset 12 while a whole 8-byte header lies inside, at
// most 4096 chunks; the first "fmt " and "data" chunks count. In RF64 a data
// size of 0xFFFFFFFF stands for the size of the ds64 chunk met before, when
// that chunk lies within the first 4096 bytes.
bool ReferenceWalk(const uint8_t* data, size_t size, ChunkLayout* layout) {
  const bool rf64 = size >= 12 && (std::memcmp(data, "RF64", 4) == 0 || std::memcmp(data, "BW64", 4) == 0);
  layout->rf64 = rf64;
  if (size < 12 || (std::memcmp(data, "RIFF", 4) != 0 && !rf64) ||
      std::memcmp(data + 8, "WAVE", 4) != 0) {
    return false;
  }
  bool format = false, audio = false;
  int64_t ds64 = 0;
  uint64_t at = 12;
  for (int chunks = 0; at + 8 <= size && chunks < 4096; ++chunks) {
    int64_t chunk_size = Le32(data + at + 4);
    if (rf64 && std::memcmp(data + at, "ds64", 4) == 0 && at + 24 <= 4096 && at + 24 <= size) {
      ds64 = Le64(data + at + 16);
    }
    if (rf64 && std::memcmp(data + at, "data", 4) == 0 && chunk_size == 0xFFFFFFFF) chunk_size = ds64;
    if (!format && std::memcmp(data + at, "fmt ", 4) == 0) {
      format = true;
      layout->format_at = int64_t(at);
    }
    if (!audio && std::memcmp(data + at, "data", 4) == 0) {
      audio = true;
      layout->data_at = int64_t(at);
      layout->data_size = chunk_size;
    }
    if (format && audio) return true;
    at += 8 + uint64_t(chunk_size) + uint64_t(chunk_size & 1);
  }
  return false;
}

// Checks the walk and LocateAudio on the file against the reference walk
// and, where that fails, the reference scans; returns what they expect.
Expected CheckLocation(const uint8_t* data, size_t size, int64_t data_tag, int64_t fmt_tag) {
  ChunkLayout want = {-1, -1, 0, false};
  const bool walked = ReferenceWalk(data, size, &want);
  Expected expected = {fmt_tag, data_tag < 0 ? -1 : data_tag + 8, int64_t(size)};
  if (walked) {
    const int64_t chunk_end = want.data_at + 8 + int64_t(want.data_size);
    expected = {want.format_at, want.data_at + 8,
                want.data_size != 0 && chunk_end <= int64_t(size) ? chunk_end : int64_t(size)};
  }
  FILE* file = std::fopen(kWavName, "rb");
  if (file == nullptr) fuzz::Broken("cannot open the input file");
  ChunkLayout got = {-1, -1, 0, false};
  const bool walk_ok = WalkChunks(fileno(file), int64_t(size), &got);
  const AudioSpan span = LocateAudio(file);
  std::fclose(file);
  if (walk_ok != walked || (walked && (got.format_at != want.format_at ||
                                       got.data_at != want.data_at ||
                                       got.data_size != want.data_size || got.rf64 != want.rf64))) {
    fuzz::Broken("WalkChunks differs from the reference walk");
  }
  if (span.has_format != (expected.format_at >= 0) ||
      (span.has_format && span.format_at != expected.format_at) ||
      span.has_data != (expected.data_start >= 0) ||
      (span.has_data && (span.data_start != expected.data_start ||
                         span.audio_end != expected.audio_end)) ||
      span.file_bytes != int64_t(size)) {
    fuzz::Broken("LocateAudio differs from the reference walk and scan");
  }
  if (span.has_data && (span.audio_end > int64_t(size) || span.audio_end < 0)) {
    fuzz::Broken("the audio ends outside the file");
  }
  return expected;
}

void ReadAttributes(void*) {
  Attributes& a = g_attributes;
  ForgetFiles();  // each input is a new file under the same name
  GET_ATTRIBUTES(0, kWavName, a.channels, a.data_start, a.sample_rate, a.frame_count,
                 a.bytes_per_sample, a.bits);
}

// Checks the fields GET_ATTRIBUTES filled against the file and where its
// format and audio lie.
void CheckAttributes(const uint8_t* data, size_t size, const Expected& where) {
  const Attributes& a = g_attributes;
  if (where.data_start < 0) fuzz::Broken("attributes read without a data chunk or tag");
  if (a.data_start[0] != where.data_start) fuzz::Broken("data start is not where the audio starts");
  const int64_t fields_at = where.format_at >= 0 ? where.format_at : 131072;
  uint8_t fields[24] = {};
  for (int64_t i = 0; i < 24; ++i) {
    if (fields_at + i < int64_t(size)) fields[i] = data[fields_at + i];
  }
  const int32_t channels = fields[10] | fields[11] << 8;
  const int32_t bits = fields[22] | fields[23] << 8;
  const uint32_t rate = uint32_t(fields[12]) | uint32_t(fields[13]) << 8 |
                        uint32_t(fields[14]) << 16 | uint32_t(fields[15]) << 24;
  if (a.channels[0] != channels || a.bits[0] != bits || uint32_t(a.sample_rate[0]) != rate ||
      a.bytes_per_sample[0] != bits / 8) {
    fuzz::Broken("format fields differ from the bytes after the fmt tag");
  }
  const int64_t align = int64_t(bits / 8) * channels;
  const int64_t audio = where.audio_end - a.data_start[0];
  const int64_t frames = align > 0 && audio > 0 ? audio / align : 0;
  if (a.frame_count[0] != frames) fuzz::Broken("frame count differs from the audio's length");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::SilenceStandardOutput();
  fuzz::EnterScratchDirectory("splyce-fuzz-wav", argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WriteWholeFile(kWavName, data, size);
  const int64_t data_tag = CheckScans(data, size, "data", 4);
  const int64_t fmt_tag = CheckScans(data, size, "fmt", 3);
  const Expected where = CheckLocation(data, size, data_tag, fmt_tag);
  std::memset(&g_attributes, 0, sizeof g_attributes);
  const int status = fuzz::RunCatchingExit(ReadAttributes, nullptr);
  if (status == fuzz::kReturned) {
    CheckAttributes(data, size, where);
  } else if (status != 2 || where.data_start >= 0) {
    fuzz::Broken("GET_ATTRIBUTES refused a file whose audio was found");
  }
  return 0;
}
