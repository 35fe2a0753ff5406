// The run's state: one destination, up to kMaxEntries edits, each field held
// as its own fixed-size array indexed by entry number.
#ifndef SPLYCE_APP_EDIT_TABLE_H
#define SPLYCE_APP_EDIT_TABLE_H

#include <cstdint>

#include "wav/wav_file.h"

constexpr int32_t kMaxEntries = 512;
// Path buffers hold at most 127 characters and a terminating zero.
constexpr int32_t kPathBytes = 128;
constexpr int32_t kMaxPathChars = kPathBytes - 1;
constexpr int32_t kClipPathBytes = 64;
// The file a destination link resolves to (bytes).
constexpr int32_t kFinalPathBytes = 4096;
// The path the destination is built under: the path of an unnamed file's
// descriptor, or the final name plus a suffix of the run's own where the
// file system has no unnamed files: room for the path, ".PID-N" and the zero.
constexpr int32_t kBuildPathBytes = kFinalPathBytes + 32;

constexpr int32_t kSeconds = 0;
constexpr int32_t kFrames = 1;

// Defaults set in every slot before the task file is read.
constexpr float kDefaultWidthMs = 100.0f;
constexpr int32_t kDefaultWidthFrames = 4410;

// A task's format line: the destination's rate, sample format and channels.
struct FormatLine {
  bool given;
  int32_t line;      // of the format keyword
  int32_t rate;      // Hz
  int32_t bits;      // of the container
  int32_t encoding;  // kEncodingInteger or kEncodingFloat
  int32_t channels;
};

struct EditTable {
  char task_path[kPathBytes];
  char destination_path[kPathBytes];
  char clip_path[kClipPathBytes];
  char final_path[kFinalPathBytes];  // the destination, or the file its link names
  char build_path[kBuildPathBytes];  // the file written until the run succeeds
  int32_t destination_line;  // task-file line of the dest kept
  FormatLine format;         // the format line, when the task has one
  int32_t time_unit;
  int32_t entry_count;
  int32_t write_order[kMaxEntries];

  // Parsed from the task file.
  char source_path[kMaxEntries][kPathBytes];
  double xin[kMaxEntries];
  double xout[kMaxEntries];
  double trim[kMaxEntries];
  double ins[kMaxEntries];
  int32_t append[kMaxEntries];
  double level_db[kMaxEntries];
  float width_ms[kMaxEntries];
  int32_t xf_type[kMaxEntries];
  int32_t width_frames[kMaxEntries];
  int32_t source_line[kMaxEntries];  // task-file line of the entry's src

  // Source format, from the attributes of each source.
  int32_t channels[kMaxEntries];
  int32_t data_start[kMaxEntries];
  int32_t sample_rate[kMaxEntries];
  int32_t frame_count[kMaxEntries];
  int32_t bytes_per_sample[kMaxEntries];
  int32_t bits[kMaxEntries];
  FormatDetails details[kMaxEntries];  // encoding, valid bits, channel mask

  // The destination's format: the first source's, or the format line's.
  int32_t out_rate;
  int32_t out_bits;
  int32_t out_bytes_per_sample;
  int32_t out_channels;
  FormatDetails out_details;

  // Planned, in frames: the read in the source's own frames, the frames it
  // becomes in the destination (others where a source is converted to
  // another rate) and where they land; whether the source is converted.
  int32_t read_start[kMaxEntries];
  int32_t read_length[kMaxEntries];
  int32_t copy_length[kMaxEntries];
  int32_t insert_frame[kMaxEntries];
  bool converted[kMaxEntries];
  // Frames the copy goes on past its read, under the crossfade of the
  // appended entry after it, which alone sees them.
  int32_t run_on[kMaxEntries];
  int32_t total_frames;
};

#endif  // SPLYCE_APP_EDIT_TABLE_H
