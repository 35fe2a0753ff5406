// WAV file access: chunk walk and tag scan, source attributes, header writer,
// silence padding and source insertion. Every operation opens its files by
// path, locates their audio afresh and closes them before it returns; a path
// registered with UseDescriptorForPath (the build file, the crossfade clip, a
// converted stretch) opens a duplicate of the descriptor the run holds for
// it instead. A read or write that fails, or a source that ends before its
// planned frames, ends the run.
#ifndef SPLYCE_WAV_WAV_FILE_H
#define SPLYCE_WAV_WAV_FILE_H

#include <cstdint>
#include <cstdio>

#include "dsp/pcm_codec.h"

// Size of the canonical header written by MAKE_HEADER (bytes).
constexpr int32_t kHeaderBytes = 44;
// The first and the last offset the tag scan examines, every even one
// between (bytes); offset 0 is the RIFF tag.
constexpr int32_t kTagScanFirst = 2;
constexpr int32_t kTagScanLast = 0x20000;
// Bytes that can affect the scan: a 4-byte tag at its last offset.
constexpr int32_t kTagScanBytes = kTagScanLast + 4;
// Bytes from a chunk tag to its payload: tag and size field.
constexpr int32_t kChunkHeadBytes = 8;
// The RIFF tag, its size field and the WAVE tag come before the first chunk.
constexpr int64_t kFirstChunk = 12;
// Largest WAV file whose RIFF sizes fit their unsigned 32-bit fields (bytes).
constexpr int64_t kMaxWavBytes = 4294967295;

// Returns the bytes of one frame, or 0 when either factor is not positive,
// so that a nonsensical format moves nothing.
int64_t BlockAlign(int32_t bytes_per_sample, int32_t channels);

// Returns the byte position of `frame` in audio that begins at `data_start`;
// positions too far for any file saturate, so that range checks reject them
// without overflow.
int64_t FramePosition(int64_t data_start, int64_t frame, int64_t block_align);

// Reads up to `bytes` bytes from `position` of an open descriptor; returns how
// many arrived before the end of the file or an error.
int64_t ReadFullyAt(int fd, int64_t position, uint8_t* buffer, int64_t bytes);

// Writes `bytes` bytes at `position` of an open descriptor, growing the file
// with zeros when the position lies beyond its end. Returns false when not all
// of them went out.
bool WriteFullyAt(int fd, int64_t position, const uint8_t* buffer, int64_t bytes);

// Ends the run because the file at `path` could not be read to the end of
// what was asked; `error` is the failed read's errno, or 0 when the file
// ended before it.
[[noreturn]] void ReadFailed(const char* path, int error);

// Closes a file that was written to (`written`: every write went out), or
// ends the run with status 2 when what was written did not all reach it,
// saying why.
void CloseWrittenOrDie(FILE* file, bool written, const char* path);

// Returns the length of an open file in bytes, or 0 when it cannot be told.
int64_t FileLength(FILE* file);

// Finds `tag` (its first `tag_length` bytes) at the first even offset from 2
// to 131072 where it stands wholly inside `bytes`. Returns false if none.
bool FindTagInBytes(const uint8_t* bytes, int64_t length, const char* tag,
                    int32_t tag_length, int32_t* offset);

// Runs the scan on an open file; leaves the file position undefined.
bool FindChunkTag(FILE* file, const char* tag, int32_t tag_length, int32_t* offset);

// What a walk of the RIFF chunk list met first (byte offsets of chunk tags).
struct ChunkLayout {
  int64_t format_at;
  int64_t data_at;
  int64_t data_size;  // as the data chunk, or for RF64 the ds64 chunk, declares it (bytes)
  bool rf64;          // an RF64 file, whose sizes past 4 GiB stand in its ds64 chunk
};

// Chunks the walk meets at most before it leaves the file to the tag scan:
// real files have a handful, and a file of millions of empty chunks must not
// cost a read for each of them at every open.
constexpr int32_t kMaxChunksWalked = 4096;

// Walks the chunks of a RIFF/WAVE or RF64/WAVE file of `file_bytes` bytes
// from offset 12, one 8-byte chunk header per positioned read. Returns true
// once it has met a "fmt " and a "data" chunk; false for a file that is
// neither or whose list ends, or runs past the end of the file, before both
// were met, or that holds kMaxChunksWalked chunks before them.
bool WalkChunks(int fd, int64_t file_bytes, ChunkLayout* layout);

// Where an open WAV file's format fields and audio lie (byte offsets).
struct AudioSpan {
  bool has_format;     // format_at holds the "fmt" tag's offset
  int64_t format_at;
  bool has_data;       // data_start and audio_end are known
  int64_t data_start;  // first audio byte
  int64_t audio_end;   // byte after the last audio byte
  int64_t file_bytes;  // length of the whole file
  bool rf64;           // an RF64 file, which may pass 4 GiB
};

// What the "fmt " chunk of a source says of its samples beyond channels, rate
// and bits: what planning decides whether it can use them by.
struct FormatDetails {
  int32_t code;           // the format code: of the subformat for an extensible chunk
  int32_t block_align;    // as declared
  int32_t valid_bits;     // of an extensible chunk; else its bits
  uint32_t channel_mask;  // of an extensible chunk; else 0
  bool extensible;
};
// The format code a big-endian (RIFX) file is given, which no chunk has.
constexpr int32_t kCodeBigEndian = -1;
// The format code of an extensible chunk whose subformat is no standard one.
constexpr int32_t kCodeExtensible = 0xFFFE;

// What a written header says of its samples beyond their container and
// channels: the encoding, the valid bits (0: all of the container) and the
// speaker positions of the channels (0: none given).
struct WaveFormat {
  int32_t encoding;
  int32_t valid_bits;
  uint32_t channel_mask;
};
constexpr WaveFormat kPcmWave = {kEncodingInteger, 0, 0};

// Returns the bytes of the header MAKE_HEADER writes for this format and
// length: 44 (the canonical header), 68 (extensible: more than two channels,
// or valid bits short of the container), or 80 or 104 for RF64, which a
// file past 4 GiB needs.
int64_t HeaderBytes(uint32_t bits, int32_t frame_count, uint32_t channels,
                    const WaveFormat& format);

// Locates the format and the audio of an open file by walking its chunks;
// when the walk fails, the tag scan decides and the audio runs to the end of
// the file. The audio ends with the data chunk when that chunk declares a
// size other than 0 and ends inside the file. Prints nothing.
AudioSpan LocateAudio(FILE* file);

// Reads the format of source `index` into slot `index` of each table, and,
// when `details` is given, the rest of its format into details[index].
// Ends the process with status 2 on a missing source or "data" tag.
void GET_ATTRIBUTES(int32_t index, const char* path, int32_t* channels,
                    int32_t* data_start, int32_t* sample_rate, int32_t* frame_count,
                    int32_t* bytes_per_sample, int32_t* bits, FormatDetails* details = nullptr);

// Creates (or truncates) `path` and writes a header declaring `frame_count`
// frames of `format`: see HeaderBytes.
void MAKE_HEADER(const char* path, int32_t sample_rate, uint32_t bits,
                 int32_t frame_count, uint32_t channels, const WaveFormat& format = kPcmWave);

// Writes `count` frames of zero bytes from frame `start_frame` of `path`.
void PAD_FILE(const char* path, int32_t start_frame, int32_t bytes_per_sample,
              int32_t channels, int32_t count);

// Copies `count` frames from frame `read_start` of `source_path` over frame
// `insert_frame` on of `destination_path`, applying `level_db` unless it is 0.
// When `clipped` is given, it grows by the levelled samples that went beyond
// full scale and were clipped.
void INSERT_FILE(const char* destination_path, const char* source_path,
                 int32_t insert_frame, int32_t bytes_per_sample, int32_t channels,
                 int32_t count, int32_t read_start, double level_db,
                 int64_t* clipped = nullptr, const SampleFormat& format = kPcmSamples);

#endif  // SPLYCE_WAV_WAV_FILE_H
