#include "wav/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/diagnostics.h"
#include "base/fatal.h"
#include "base/files.h"
#include "dsp/level.h"
#include "dsp/pcm_codec.h"

namespace {

// Positions reach fseek as a long, which must hold any 64-bit position.
static_assert(sizeof(long) >= sizeof(int64_t), "file positions need a 64-bit long");

// Exit status for a source or WAV file that cannot be used.
constexpr int kStatusBadFile = 2;
// Bytes of each tag that the scan compares; the blank after "fmt" is not.
constexpr int32_t kDataTagLength = 4;
constexpr int32_t kFmtTagLength = 3;
// First read of the chunk walk and of the tag scan (bytes): every chunk
// header of an ordinary file lies wholly inside it.
constexpr int32_t kFirstReadBytes = 4096;
// Where the format is read when no "fmt" tag is found (byte offset): the last
// offset the scan examines.
constexpr int32_t kFmtFallbackOffset = kTagScanLast;
// Largest |frames x block align| taken exactly (bytes); anything farther lies
// outside every file, and the bound keeps the sum with a data start in int64.
constexpr int64_t kMaxOffsetBytes = INT64_MAX / 4;
// Widths of a chunk tag and of the header's integer fields (bytes).
constexpr int32_t kTagBytes = 4;
// "RIFF", its size field and "WAVE": how every WAV file starts (bytes).
constexpr int32_t kRiffHeadBytes = 12;
constexpr int32_t kU16Bytes = 2;
constexpr int32_t kU32Bytes = 4;
// Distances of the format fields from the "fmt" tag (bytes), those of the
// extensible kind among them.
constexpr int32_t kFmtSizeAt = 4;
constexpr int32_t kFmtCodeAt = 8;
constexpr int32_t kFmtChannelsAt = 10;
constexpr int32_t kFmtRateAt = 12;
constexpr int32_t kFmtBlockAlignAt = 20;
constexpr int32_t kFmtBitsAt = 22;
constexpr int32_t kFmtExtensionAt = 24;
constexpr int32_t kFmtValidBitsAt = 26;
constexpr int32_t kFmtChannelMaskAt = 28;
constexpr int32_t kFmtSubformatAt = 32;
// Bytes from the "fmt" tag to the end of the fields read.
constexpr int32_t kFmtFieldBytes = kFmtSubformatAt + 16;
constexpr uint32_t kBitsPerByte = 8;
// Payloads of the canonical and the extensible format chunk (bytes), the
// bytes of the extension, and the extensible kind's format code.
constexpr uint32_t kFormatChunkBytes = 16;
constexpr uint32_t kExtensibleChunkBytes = 40;
constexpr uint32_t kExtensionBytes = 22;
constexpr uint32_t kFormatCodeExtensible = 0xFFFE;
// The fourteen bytes that follow the format code in the subformat GUID of
// every standard extensible format (KSDATAFORMAT_SUBTYPE_*).
constexpr uint8_t kSubformatSuffix[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// RF64: the ds64 chunk's payload (bytes: RIFF size, data size and frames,
// each 64-bit, and an empty table), the offset of its data size, and the
// 32-bit size every RIFF size field holds instead.
constexpr uint32_t kDs64Bytes = 28;
constexpr int32_t kDs64DataSizeAt = kChunkHeadBytes + 8;
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFF;
// The longest header written: RF64 with an extensible format chunk (bytes).
constexpr int32_t kMaxHeaderBytes = 104;
// The header keeps the low 16 bits of the channel count, block align and bits.
constexpr uint32_t kLow16Bits = 0xFFFF;
// Blocks of kMaxBlockBytes that one read or write moves at most: copies and
// silence still step through kBlockFrames frames at a time in memory, but go
// to the file in transfers of whole steps, so that system calls stay few.
// 384 KiB: a copy through 192 KiB transfers takes about 10% longer, one
// through 768 KiB hardly less, and a run with wide crossfades nears 4 MiB.
constexpr int64_t kTransferBlocks = 64;
constexpr int64_t kTransferBytes = kTransferBlocks * kMaxBlockBytes;

// The one buffer that copies and silence move through: fixed, so memory stays
// bounded whatever the length of a stretch.
uint8_t g_transfer[kTransferBytes];

// Why the last OpenRegularFile returned null: the system's reason, or the
// kind of file it found instead of a regular one.
const char* g_why_not_opened = "";

// Opens `path` in `mode` and keeps it only when it is a regular file: a
// directory opens for reading on Linux, yet every read from it fails, and a
// FIFO would wait for a writer. Returns null when the file cannot be used.
FILE* OpenRegularFile(const char* path, const char* mode) {
  FILE* file = OpenWithoutWaiting(path, mode);
  if (file == nullptr) {
    g_why_not_opened = errno == ENOENT ? "there is no such file" : std::strerror(errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) return file;
  g_why_not_opened = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
  std::fclose(file);
  return nullptr;
}

// Returns why the last OpenRegularFile returned null.
const char* WhyNotOpened() { return g_why_not_opened; }

// Opens a WAV file for padding or insertion, or ends the process.
FILE* OpenWavOrDie(const char* path, const char* mode) {
  FILE* file = OpenRegularFile(path, mode);
  if (file == nullptr) Fatal(kStatusBadFile, "Cannot open file %s\n", ShownPath(path));
  return file;
}

// Says which file has no "data" chunk and, for one that is no RIFF/WAVE file
// at all, what it starts with instead.
void ExplainMissingData(FILE* file, const char* path) {
  const Quoted name = Quote(ShownPath(path));
  char head[kRiffHeadBytes] = {};
  std::rewind(file);
  const size_t got = std::fread(head, 1, sizeof head, file);
  const bool wave = got == sizeof head && std::memcmp(head, "RIFF", kTagBytes) == 0 &&
                    std::memcmp(head + kChunkHeadBytes, "WAVE", kTagBytes) == 0;
  if (wave) {
    Error("%s: no \"data\" chunk found: save it again as a plain PCM WAV file", name.text);
  } else {
    Error("%s is not a RIFF/WAVE file: it starts with %s, so it has no \"data\" chunk: "
          "convert it to a PCM WAV file", name.text, QuoteBytes(head, int32_t(got)).text);
  }
}

// Ends the process, naming the file, when it has no data chunk and no
// "data" tag within the scan.
void RequireData(FILE* file, const AudioSpan& span, const char* path) {
  if (span.has_data) return;
  ExplainMissingData(file, path);
  Fatal(kStatusBadFile, "Can't find data block in wave file!\n");
}

// Returns where an open file's audio lies, or ends the process when the file
// has no data chunk and no "data" tag within the scan.
AudioSpan AudioOrDie(FILE* file, const char* path) {
  const AudioSpan span = LocateAudio(file);
  RequireData(file, span, path);
  return span;
}

// Returns how many frames one step moves through a kMaxBlockBytes buffer:
// kBlockFrames for every supported format, fewer for wider frames, and 0
// (no step at all) when not even one frame fits or frames have no size.
int64_t FramesPerStep(int64_t block_align) {
  if (block_align <= 0 || block_align > kMaxBlockBytes) return 0;
  return std::min<int64_t>(kBlockFrames, kMaxBlockBytes / block_align);
}

// Returns how many frames one transfer moves: the most whole steps of
// `step` frames that fit the transfer buffer.
int64_t FramesPerTransfer(int64_t block_align, int64_t step) {
  if (step <= 0) return 0;
  return kTransferBytes / block_align / step * step;
}

// Reports whether the 4-byte chunk id at `id` is `tag`.
bool IsChunk(const uint8_t* id, const char* tag) {
  return std::memcmp(id, tag, kTagBytes) == 0;
}

// Reads what the format fields say beyond channels, rate and bits: the
// format code, taken from the subformat of an extensible chunk (one whose
// GUID is no standard one keeps the extensible code), the declared block
// align, and an extensible chunk's valid bits and channel mask. A big-endian
// RIFX file gets kCodeBigEndian, since its fields read as nonsense.
FormatDetails ReadDetails(FILE* file, const uint8_t* fields) {
  FormatDetails d = {Assem2(fields + kFmtCodeAt), Assem2(fields + kFmtBlockAlignAt),
                     Assem2(fields + kFmtBitsAt), 0, false};
  const bool extended = uint32_t(Assem4(fields + kFmtSizeAt)) >= kExtensibleChunkBytes &&
                        Assem2(fields + kFmtExtensionAt) >= kExtensionBytes;
  if (d.code == int32_t(kFormatCodeExtensible) && extended) {
    d.extensible = true;
    d.valid_bits = Assem2(fields + kFmtValidBitsAt);
    d.channel_mask = uint32_t(Assem4(fields + kFmtChannelMaskAt));
    const bool standard = std::memcmp(fields + kFmtSubformatAt + kU16Bytes, kSubformatSuffix,
                                      sizeof kSubformatSuffix) == 0;
    if (standard) d.code = Assem2(fields + kFmtSubformatAt);
  }
  uint8_t magic[kTagBytes] = {};
  if (ReadFullyAt(fileno(file), 0, magic, kTagBytes) == kTagBytes && IsChunk(magic, "RIFX")) {
    d.code = kCodeBigEndian;
  }
  return d;
}

// Returns the offset of the "fmt" tag. Without one it says so and falls back
// on the last offset the scan examines, since the run carries on.
int64_t FormatTagOffset(const AudioSpan& span, const char* path) {
  if (span.has_format) return span.format_at;
  std::fputs("Can't find format chunk in wave file!\n", stdout);
  Warn(kFileError, "%s: no \"fmt\" chunk found, so its format is read from byte 131072 "
       "instead", Quote(path).text);
  return kFmtFallbackOffset;
}

// Returns how many whole frames lie from byte `at` to byte `end`.
int64_t FramesFrom(int64_t end, int64_t at, int64_t block_align) {
  if (block_align <= 0 || end <= at) return 0;
  return (end - at) / block_align;
}

// Returns the 8-byte chunk header at `at`: within `start`, the first `got`
// bytes of the file, when it lies there whole, else read into `spare`. Null
// when it cannot be read whole.
const uint8_t* ChunkHeadAt(int fd, int64_t at, const uint8_t* start, int64_t got,
                           uint8_t* spare) {
  if (at + kChunkHeadBytes <= got) return start + at;
  return ReadFullyAt(fd, at, spare, kChunkHeadBytes) == kChunkHeadBytes ? spare : nullptr;
}

// Returns where the audio ends: with the data chunk when it declares a size
// and ends inside the file; otherwise at the end of the file, as a writer
// that never filled the size in (0 or 0xFFFFFFFF) leaves it.
int64_t AudioEnd(const ChunkLayout& layout, int64_t file_bytes) {
  const int64_t chunk_end = layout.data_at + kChunkHeadBytes + layout.data_size;
  return layout.data_size != 0 && chunk_end <= file_bytes ? chunk_end : file_bytes;
}

// Reads an unsigned 64-bit little-endian value; one past 2^62 counts as
// unknown (0), which no file reaches.
int64_t GetSize64(const uint8_t* at) {
  uint64_t v = 0;
  for (int32_t k = 7; k >= 0; --k) v = v << kBitsPerByte | at[k];
  return v >= (uint64_t(1) << 62) ? 0 : int64_t(v);
}

// Finds the format and audio by the tag scan, for files the walk cannot read.
AudioSpan ScanForAudio(FILE* file, int64_t file_bytes) {
  AudioSpan span = {false, 0, false, 0, file_bytes, file_bytes, false};
  int32_t tag = 0;
  span.has_format = FindChunkTag(file, "fmt", kFmtTagLength, &tag);
  if (span.has_format) span.format_at = tag;
  span.has_data = FindChunkTag(file, "data", kDataTagLength, &tag);
  if (span.has_data) span.data_start = int64_t(tag) + kChunkHeadBytes;
  return span;
}

// Writes `count` zero frames from frame `start_frame` on. Only the part that
// lies inside the file is written, a transfer at a time; the file is then
// extended to the end of the run, and every byte it gains reads as zero, as
// written zeros would. Returns false when a write or the extension fails.
bool WriteSilence(int fd, int64_t data_start, int64_t start_frame, int64_t block_align,
                  int64_t count) {
  const int64_t transfer =
      FramesPerTransfer(block_align, FramesPerStep(block_align)) * block_align;
  if (transfer <= 0 || count <= 0) return true;
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  const int64_t begin = FramePosition(data_start, start_frame, block_align);
  const int64_t end = FramePosition(data_start, start_frame + count, block_align);
  const int64_t inside_end = std::min<int64_t>(end, info.st_size);
  if (begin < inside_end) {
    std::memset(g_transfer, 0, size_t(std::min(transfer, inside_end - begin)));
  }
  for (int64_t at = begin; at < inside_end; at += transfer) {
    if (!WriteFullyAt(fd, at, g_transfer, std::min(transfer, inside_end - at))) return false;
  }
  return end <= info.st_size || ftruncate(fd, off_t(end)) == 0;
}

// Levels `frames` frames of `block` one step of `step` frames at a time, the
// blocks that NewLevel is handed.
void LevelSteps(uint8_t* block, int64_t frames, int64_t step, double level_db,
                int32_t bytes_per_sample, int32_t channels, int64_t* clipped,
                const SampleFormat& format) {
  const int64_t block_align = BlockAlign(bytes_per_sample, channels);
  for (int64_t k = 0; k < frames; k += step) {
    NewLevel(block + k * block_align, level_db, bytes_per_sample, channels,
             int32_t(std::min(step, frames - k)), clipped, format);
  }
}

// How a copy ended.
enum CopyResult { kCopied, kWriteFailed, kReadFailed };

// Copies `count` frames from byte `source_at` of `source` to byte
// `destination_at` of `destination`, but only the whole frames that lie
// before `source_end`, where the source's audio ends. The frames go through
// the transfer buffer, levelled every step unless `level_db` is 0. An
// unlevelled copy takes the same road: on ext4 the kernel's own copy
// (copy_file_range) moves page by page and is slower. A read that delivers
// less than asked fails the copy (errno 0 when the file ended first), and
// no byte that was not read is written.
CopyResult CopyFrames(int source, int64_t source_at, int64_t source_end, int destination,
                      int64_t destination_at, int32_t bytes_per_sample, int32_t channels,
                      int64_t count, double level_db, int64_t* clipped,
                      const SampleFormat& format) {
  const int64_t block_align = BlockAlign(bytes_per_sample, channels);
  const int64_t step = FramesPerStep(block_align);
  if (step <= 0) return kCopied;
  count = std::min(count, FramesFrom(source_end, source_at, block_align));
  const bool levelled = level_db != 0.0;  // decided once; -0.0 equals 0.0
  const int64_t transfer = FramesPerTransfer(block_align, step);
  for (int64_t done = 0; done < count; done += transfer) {
    const int64_t wanted = std::min(transfer, count - done);
    const int64_t offset = done * block_align;
    errno = 0;
    if (ReadFullyAt(source, source_at + offset, g_transfer, wanted * block_align) !=
        wanted * block_align) {
      return kReadFailed;
    }
    if (levelled) {
      LevelSteps(g_transfer, wanted, step, level_db, bytes_per_sample, channels, clipped, format);
    }
    if (!WriteFullyAt(destination, destination_at + offset, g_transfer, wanted * block_align)) {
      return kWriteFailed;
    }
  }
  return kCopied;
}

// Writes a chunk tag at `at`; returns the byte after it.
uint8_t* PutTag(uint8_t* at, const char* tag) {
  std::memcpy(at, tag, kTagBytes);
  return at + kTagBytes;
}

// Writes a 32-bit header field at `at`, unsigned, least significant byte
// first; returns the byte after it.
uint8_t* PutU32(uint8_t* at, uint32_t value) {
  for (int32_t i = 0; i < kU32Bytes; ++i) at[i] = uint8_t(value >> (kBitsPerByte * uint32_t(i)));
  return at + kU32Bytes;
}

// Writes the low 16 bits of `value` as a header field at `at`; returns the
// byte after it.
uint8_t* PutU16(uint8_t* at, uint32_t value) {
  Decon2(uint16_t(value & kLow16Bits), at);
  return at + kU16Bytes;
}

// Writes the format chunk: canonical (16 bytes) or extensible (40), as
// `extensible` says; returns the byte after it.
uint8_t* PutFormatChunk(uint8_t* at, int32_t sample_rate, uint32_t bits, uint32_t channels,
                        const WaveFormat& format, bool extensible) {
  const uint32_t bytes_per_sample = bits / kBitsPerByte;
  at = PutTag(at, "fmt ");
  at = PutU32(at, extensible ? kExtensibleChunkBytes : kFormatChunkBytes);
  at = PutU16(at, extensible ? kFormatCodeExtensible : uint32_t(format.encoding));
  at = PutU16(at, channels);
  at = PutU32(at, uint32_t(sample_rate));
  at = PutU32(at, bytes_per_sample * uint32_t(sample_rate) * channels);
  at = PutU16(at, (bits * channels) / kBitsPerByte);
  at = PutU16(at, bits);
  if (!extensible) return at;
  at = PutU16(at, kExtensionBytes);
  at = PutU16(at, format.valid_bits > 0 ? uint32_t(format.valid_bits) : bits);
  at = PutU32(at, format.channel_mask);
  at = PutU16(at, uint32_t(format.encoding));
  std::memcpy(at, kSubformatSuffix, sizeof kSubformatSuffix);
  return at + sizeof kSubformatSuffix;
}

// Whether a header for this format needs the extensible format chunk: more
// than two channels, or valid bits short of the container.
bool NeedsExtensible(uint32_t bits, uint32_t channels, const WaveFormat& format) {
  return channels > 2 || (format.valid_bits > 0 && uint32_t(format.valid_bits) != bits);
}

// Returns the bytes of the frames a header declares.
uint64_t DataBytes(uint32_t bits, int32_t frame_count, uint32_t channels) {
  return uint64_t(bits / kBitsPerByte) * uint64_t(uint32_t(frame_count)) * channels;
}

// Fills the header of HeaderBytes' length into `header`. Forms the 32-bit
// fields in uint32_t, where they wrap instead of overflowing; for every
// destination that planning accepts they are exact.
void FillHeader(uint8_t* header, int32_t sample_rate, uint32_t bits, int32_t frame_count,
                uint32_t channels, const WaveFormat& format) {
  const uint32_t channel_count = channels & kLow16Bits;
  const bool extensible = NeedsExtensible(bits, channel_count, format);
  const uint64_t data_bytes = DataBytes(bits, frame_count, channel_count);
  const uint64_t total = uint64_t(HeaderBytes(bits, frame_count, channels, format)) + data_bytes;
  const bool rf64 = total > uint64_t(kMaxWavBytes);
  uint8_t* at = PutTag(header, rf64 ? "RF64" : "RIFF");
  at = PutU32(at, rf64 ? kSizeInDs64 : uint32_t(total - kChunkHeadBytes));
  at = PutTag(at, "WAVE");
  if (rf64) {
    at = PutTag(at, "ds64");
    at = PutU32(at, kDs64Bytes);
    for (const uint64_t size : {total - kChunkHeadBytes, data_bytes, uint64_t(uint32_t(frame_count))}) {
      at = PutU32(at, uint32_t(size));
      at = PutU32(at, uint32_t(size >> 32));
    }
    at = PutU32(at, 0);  // no table of other chunks' sizes
  }
  at = PutFormatChunk(at, sample_rate, bits, channel_count, format, extensible);
  at = PutTag(at, "data");
  PutU32(at, rf64 ? kSizeInDs64 : uint32_t(data_bytes));
}

}  // namespace

// A full disk shows at the close, at the last flush.
void CloseWrittenOrDie(FILE* file, bool written, const char* path) {
  int error = written ? 0 : errno;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return;
  if (error == 0) error = errno;
  Error("%s could not be written: %s", Quote(ShownPath(path)).text, std::strerror(error));
  Fatal(kStatusBadFile, "Cannot write file %s\n", ShownPath(path));
}

void ReadFailed(const char* path, int error) {
  Error("%s could not be read: %s", Quote(ShownPath(path)).text,
        error != 0 ? std::strerror(error) : "it is shorter than when the run began");
  Fatal(kStatusBadFile, "Cannot read file %s\n", ShownPath(path));
}

// Goes on after a partial write.
bool WriteFullyAt(int fd, int64_t position, const uint8_t* buffer, int64_t bytes) {
  int64_t put = 0;
  while (put < bytes) {
    const ssize_t n = pwrite(fd, buffer + put, size_t(bytes - put), off_t(position + put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    put += n;
  }
  return true;
}

// Goes on after a partial read.
int64_t ReadFullyAt(int fd, int64_t position, uint8_t* buffer, int64_t bytes) {
  int64_t got = 0;
  while (got < bytes) {
    const ssize_t n = pread(fd, buffer + got, size_t(bytes - got), off_t(position + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  return got;
}

int64_t BlockAlign(int32_t bytes_per_sample, int32_t channels) {
  if (bytes_per_sample <= 0 || channels <= 0) return 0;
  return int64_t(bytes_per_sample) * channels;
}

int64_t FramePosition(int64_t data_start, int64_t frame, int64_t block_align) {
  if (block_align > 0 && frame > kMaxOffsetBytes / block_align) return INT64_MAX;
  if (block_align > 0 && frame < -(kMaxOffsetBytes / block_align)) return INT64_MIN;
  return data_start + frame * block_align;
}

// A regular file's length is its size; anything else is asked where its end
// lies.
int64_t FileLength(FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) return int64_t(info.st_size);
  if (std::fseek(file, 0, SEEK_END) != 0) return 0;
  const long end = std::ftell(file);
  return end < 0 ? 0 : int64_t(end);
}

// Scans even offsets from 2 to 131072; a tag must lie wholly inside `bytes`.
bool FindTagInBytes(const uint8_t* bytes, int64_t length, const char* tag,
                    int32_t tag_length, int32_t* offset) {
  for (int64_t at = kTagScanFirst; at <= kTagScanLast; at += 2) {
    if (at + tag_length > length) return false;
    if (std::memcmp(bytes + at, tag, size_t(tag_length)) == 0) {
      *offset = int32_t(at);
      return true;
    }
  }
  return false;
}

// Reads the first 4096 bytes and scans them; only when the tag is not there
// and the file goes on does it read the rest of the scanned range and scan
// again. A match inside the first read is the first match overall, so the
// result equals one scan over all 131,076 bytes.
bool FindChunkTag(FILE* file, const char* tag, int32_t tag_length, int32_t* offset) {
  static uint8_t head[kTagScanBytes];
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  size_t got = std::fread(head, 1, kFirstReadBytes, file);
  if (FindTagInBytes(head, int64_t(got), tag, tag_length, offset)) return true;
  if (got < size_t(kFirstReadBytes)) return false;
  got += std::fread(head + got, 1, sizeof head - got, file);
  return FindTagInBytes(head, int64_t(got), tag, tag_length, offset);
}

// Steps over each chunk's payload and its pad byte without reading them; a
// size that runs past the end of the file ends the loop. The headers come
// from one read of the file's start where they lie in it, as they all do in
// an ordinary file, and one read each past it.
// An RF64 file's ds64 chunk gives the data chunk's size where that chunk's
// own field says 0xFFFFFFFF; a ds64 chunk is read from the file's first read.
bool WalkChunks(int fd, int64_t file_bytes, ChunkLayout* layout) {
  uint8_t start[kFirstReadBytes];
  const int64_t got = ReadFullyAt(fd, 0, start, kFirstReadBytes);
  layout->rf64 = got >= kFirstChunk && (IsChunk(start, "RF64") || IsChunk(start, "BW64"));
  if (got < kFirstChunk || (!IsChunk(start, "RIFF") && !layout->rf64) ||
      !IsChunk(start + kChunkHeadBytes, "WAVE")) {
    return false;
  }
  bool format_met = false;
  bool data_met = false;
  int64_t ds64_data_size = 0;
  int32_t walked = 0;
  for (int64_t at = kFirstChunk; at + kChunkHeadBytes <= file_bytes && walked < kMaxChunksWalked;
       ++walked) {
    uint8_t spare[kChunkHeadBytes];
    const uint8_t* head = ChunkHeadAt(fd, at, start, got, spare);
    if (head == nullptr) return false;
    int64_t size = uint32_t(Assem4(head + kTagBytes));
    if (layout->rf64 && IsChunk(head, "ds64") && at + kDs64DataSizeAt + 8 <= got) {
      ds64_data_size = GetSize64(start + at + kDs64DataSizeAt);
    }
    if (layout->rf64 && IsChunk(head, "data") && size == kSizeInDs64) size = ds64_data_size;
    if (!format_met && IsChunk(head, "fmt ")) {
      format_met = true;
      layout->format_at = at;
    }
    if (!data_met && IsChunk(head, "data")) {
      data_met = true;
      layout->data_at = at;
      layout->data_size = size;
    }
    if (format_met && data_met) return true;
    at += kChunkHeadBytes + size + (size & 1);
  }
  return false;
}

AudioSpan LocateAudio(FILE* file) {
  const int64_t file_bytes = FileLength(file);
  ChunkLayout layout = {0, 0, 0, false};
  if (!WalkChunks(fileno(file), file_bytes, &layout)) return ScanForAudio(file, file_bytes);
  return {true, layout.format_at, true, layout.data_at + kChunkHeadBytes,
          AudioEnd(layout, file_bytes), file_bytes, layout.rf64};
}

// Reads one source's format into slot `index`; fmt fields that lie past the
// end of the file read as 0. The frame count covers whole frames up to the
// end of the audio.
void GET_ATTRIBUTES(int32_t index, const char* path, int32_t* channels,
                    int32_t* data_start, int32_t* sample_rate, int32_t* frame_count,
                    int32_t* bytes_per_sample, int32_t* bits, FormatDetails* details) {
  FILE* file = OpenRegularFile(path, "rb");
  if (file == nullptr) {
    Error("source %s of task %i cannot be opened as a file: %s", Quote(path).text, index + 1,
          WhyNotOpened());
    Fatal(kStatusBadFile, "Cannot find file in track list called %s!!\n", path);
  }
  RememberFile(path, fileno(file));
  const AudioSpan span = LocateAudio(file);
  uint8_t fields[kFmtFieldBytes] = {};  // bytes past the end of the file stay 0
  ReadFullyAt(fileno(file), FormatTagOffset(span, path), fields, kFmtFieldBytes);
  channels[index] = Assem2(fields + kFmtChannelsAt);
  sample_rate[index] = Assem4(fields + kFmtRateAt);
  bits[index] = Assem2(fields + kFmtBitsAt);
  bytes_per_sample[index] = bits[index] / int32_t(kBitsPerByte);
  if (details != nullptr) details[index] = ReadDetails(file, fields);

  RequireData(file, span, path);
  if (span.file_bytes > kMaxWavBytes && !span.rf64) {
    Fatal(kStatusBadFile, "Source file %s is 4 GiB or larger, which is not supported\n", path);
  }
  data_start[index] = int32_t(span.data_start);
  // Frames past 2^31 (of an RF64 file, or 8-bit mono, which planning
  // refuses) lie beyond the reach of the 32-bit frame numbers.
  frame_count[index] = int32_t(std::min<int64_t>(
      INT32_MAX, FramesFrom(span.audio_end, span.data_start,
                            BlockAlign(bytes_per_sample[index], channels[index]))));
  std::fclose(file);
}

int64_t HeaderBytes(uint32_t bits, int32_t frame_count, uint32_t channels,
                    const WaveFormat& format) {
  const uint32_t channel_count = channels & kLow16Bits;
  const int64_t format_chunk = kChunkHeadBytes + (NeedsExtensible(bits, channel_count, format)
                                                      ? kExtensibleChunkBytes
                                                      : kFormatChunkBytes);
  const int64_t plain = kFirstChunk + format_chunk + kChunkHeadBytes;
  const bool rf64 = uint64_t(plain) + DataBytes(bits, frame_count, channel_count) > uint64_t(kMaxWavBytes);
  return rf64 ? plain + kChunkHeadBytes + kDs64Bytes : plain;
}

void MAKE_HEADER(const char* path, int32_t sample_rate, uint32_t bits,
                 int32_t frame_count, uint32_t channels, const WaveFormat& format) {
  uint8_t header[kMaxHeaderBytes];
  const size_t length = size_t(HeaderBytes(bits, frame_count, channels, format));
  FillHeader(header, sample_rate, bits, frame_count, channels, format);
  FILE* file = OpenForWriting(path, "wb");
  if (file == nullptr) Fatal(kStatusBadFile, "Cannot create file %s\n", ShownPath(path));
  CloseWrittenOrDie(file, std::fwrite(header, 1, length, file) == length, path);
}

// Writes zero frames into an existing file. Writes nothing for a negative
// start frame, which would reach into the header, once the file is opened and
// scanned. After the scan the file is written through its descriptor alone.
void PAD_FILE(const char* path, int32_t start_frame, int32_t bytes_per_sample,
              int32_t channels, int32_t count) {
  FILE* file = OpenWavOrDie(path, "rb+");
  const int64_t data_start = AudioOrDie(file, path).data_start;
  bool written = true;
  if (start_frame >= 0) {
    written = WriteSilence(fileno(file), data_start, start_frame,
                           BlockAlign(bytes_per_sample, channels), count);
  }
  CloseWrittenOrDie(file, written, path);
}

// Copies a stretch of frames between files. Opens both files before locating
// the audio of either, and copies nothing for a negative insert or read
// start frame, which would reach before the audio's start. A read stops
// where the source's audio ends. After that both files are read and written
// through their descriptors alone.
void INSERT_FILE(const char* destination_path, const char* source_path,
                 int32_t insert_frame, int32_t bytes_per_sample, int32_t channels,
                 int32_t count, int32_t read_start, double level_db, int64_t* clipped,
                 const SampleFormat& format) {
  FILE* destination = OpenWavOrDie(destination_path, "rb+");
  FILE* source = OpenWavOrDie(source_path, "rb");
  const int64_t destination_start = AudioOrDie(destination, destination_path).data_start;
  const AudioSpan source_audio = AudioOrDie(source, source_path);
  CopyResult copied = kCopied;
  if (insert_frame >= 0 && read_start >= 0) {
    const int64_t block_align = BlockAlign(bytes_per_sample, channels);
    copied = CopyFrames(fileno(source),
                        FramePosition(source_audio.data_start, read_start, block_align),
                        source_audio.audio_end, fileno(destination),
                        FramePosition(destination_start, insert_frame, block_align),
                        bytes_per_sample, channels, count, level_db, clipped, format);
  }
  const int read_error = errno;
  std::fclose(source);
  if (copied == kReadFailed) {
    std::fclose(destination);
    ReadFailed(source_path, read_error);
  }
  CloseWrittenOrDie(destination, copied == kCopied, destination_path);
}
