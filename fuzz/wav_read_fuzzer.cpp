// Fuzz target: reading a WAV file. The input is the whole file. The
// chunk-tag scan runs over the bytes and over the file (whose two-step read
// must agree with one scan of the bytes and with a plain reference scan), then
// GET_ATTRIBUTES reads the file's format, which must follow from the tags.
#include <cstdint>
#include <cstdio>
#include <cstring>

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

void ReadAttributes(void*) {
  Attributes& a = g_attributes;
  GET_ATTRIBUTES(0, kWavName, a.channels, a.data_start, a.sample_rate, a.frame_count,
                 a.bytes_per_sample, a.bits);
}

// Checks the fields GET_ATTRIBUTES filled against the file and its tags.
void CheckAttributes(const uint8_t* data, size_t size, int64_t data_tag, int64_t fmt_tag) {
  const Attributes& a = g_attributes;
  if (data_tag < 0) fuzz::Broken("attributes read without a data tag");
  if (a.data_start[0] != data_tag + 8) fuzz::Broken("DataStart is not the data tag + 8");
  const int64_t fields_at = fmt_tag >= 0 ? fmt_tag : 131072;
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
  const int64_t audio = int64_t(size) - a.data_start[0];
  const int64_t frames = align > 0 && audio > 0 ? audio / align : 0;
  if (a.frame_count[0] != frames) fuzz::Broken("frame count differs from the file's length");
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
  std::memset(&g_attributes, 0, sizeof g_attributes);
  const int status = fuzz::RunCatchingExit(ReadAttributes, nullptr);
  if (status == fuzz::kReturned) {
    CheckAttributes(data, size, data_tag, fmt_tag);
  } else if (status != 2 || data_tag >= 0) {
    fuzz::Broken("GET_ATTRIBUTES refused a file that has a data tag");
  }
  return 0;
}
