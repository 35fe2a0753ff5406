// WAV file access: scan and attributes, header writer, silence padding and
// source insertion, checked against files built byte by byte by the fixture.
#include "wav/wav_file.h"

#include "base/files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/destination_model.h"
#include "support/in_process.h"
#include "support/temp_dir.h"
#include "support/wav_fixture.h"

namespace {

using GetAttributes = fixture::RestoringTest;
using MakeHeader = fixture::RestoringTest;
using PadFile = fixture::RestoringTest;
using InsertFile = fixture::RestoringTest;
using WavWrite = fixture::RestoringTest;

using fixture::Bytes;
using fixture::ExpectExit;
using fixture::WavSpec;
using fixture::WithField;


// Returns a 16-bit stereo layout whose extra chunk puts the "data" tag at
// `offset` (RIFF head 12, fmt chunk 24 and the extra chunk's head 8 come first).
WavSpec DataTagAt(int32_t offset) {
  WavSpec layout{44100, 16, 2};
  layout.extra_chunk_bytes = offset - (12 + 24 + 8);
  return layout;
}

// Writes `bytes` to `name` in `dir`; returns the path.
std::string Put(const fixture::TempDir& dir, const std::string& name, const Bytes& bytes) {
  fixture::WriteFile(dir.Path(name), bytes);
  return dir.Path(name);
}

// Returns `file` with `data` laid over it from byte `at`, zero-filling a gap.
Bytes Overlay(Bytes file, size_t at, const Bytes& data) {
  if (data.empty()) return file;
  if (file.size() < at + data.size()) file.resize(at + data.size(), 0);
  std::copy(data.begin(), data.end(), file.begin() + long(at));
  return file;
}

// Returns bytes [from, from + count) of `bytes`.
Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
  if (count == 0) return {};
  return Bytes(bytes.begin() + long(from), bytes.begin() + long(from + count));
}

// What MAKE_HEADER is given for a canonical header.
struct HeaderArguments {
  int32_t rate;
  uint32_t bits;
  int32_t frames;
  uint32_t channels;
  void Make(const std::string& path) const {
    MAKE_HEADER(path.c_str(), rate, bits, frames, channels);
  }
};

struct Attributes {
  int32_t channels, data_start, rate, frames, bytes_per_sample, bits;
};

// Formats attributes so that a mismatch shows every field at once.
std::string Describe(const Attributes& a) {
  char text[128];
  std::snprintf(text, sizeof text, "ch %d start %d rate %d frames %d bps %d bits %d", a.channels,
                a.data_start, a.rate, a.frames, a.bytes_per_sample, a.bits);
  return text;
}

// Calls GET_ATTRIBUTES for slot 1 and checks that slot 0 stays untouched.
Attributes ReadAttributes(const std::string& path) {
  int32_t t[6][2] = {{-7, -7}, {-7, -7}, {-7, -7}, {-7, -7}, {-7, -7}, {-7, -7}};
  ForgetFiles();
  GET_ATTRIBUTES(1, path.c_str(), t[0], t[1], t[2], t[3], t[4], t[5]);
  for (auto& table : t) EXPECT_EQ(table[0], -7);
  return {t[0][1], t[1][1], t[2][1], t[3][1], t[4][1], t[5][1]};
}

// Returns pseudo-random audio bytes of `frames` frames.
Bytes Audio(int32_t frames, int32_t channels, int32_t bits, uint32_t seed) {
  return fixture::EncodeSamples(fixture::NoiseSamples(frames, channels, bits, seed), bits);
}

TEST_F(GetAttributes, ReadsFormatAndCountsFrames) {
  WavSpec trailing{44100, 16, 2};
  trailing.trailing = Bytes(36, 0x55);
  const Bytes with_trailing = fixture::MakeWav(trailing, Bytes(40, 1));
  WavSpec data_first{22050, 24, 1};
  data_first.data_first = true;
  // A chunk before the data whose size runs past the end: the walk gives up
  // and the tag scan decides, audio to the end of the file.
  WavSpec broken = trailing;
  broken.before_data = WithField(fixture::Chunk("LIST", Bytes(10, 'x')), 4, 0xFFFFFFFF);
  // The same past the walk's first read of 4096 bytes.
  WavSpec broken_far = broken;
  broken_far.before_data = fixture::Chunk("junk", Bytes(5000, 'x'));
  broken_far.before_data.insert(broken_far.before_data.end(), broken.before_data.begin(),
                                broken.before_data.end());
  WavSpec padded = trailing;  // the walk steps over the pad byte
  padded.before_data = fixture::Chunk("junk", Bytes(9, 'x'));
  WavSpec second_format = trailing;  // only the first format chunk counts
  second_format.before_data = fixture::Chunk("fmt ", Bytes(16, 9));
  WavSpec extensible{48000, 24, 2};
  extensible.format_code = 0xFFFE;
  WavSpec rf64_trailing = trailing;
  rf64_trailing.riff = "RF64";
  // A chunk whose payload spells "data" at byte 44, then empty chunks: the
  // walk reads past the payload while it has met at most 4096 chunks, and
  // leaves the file to the tag scan, which takes the payload, after that.
  const auto empty_chunks = [](int32_t count) {
    WavSpec many{44100, 16, 2};
    many.before_data = fixture::Chunk("note", fixture::Text("data4567"));
    for (int32_t k = 0; k < count; ++k) {
      const Bytes empty = fixture::Chunk("junk", {});
      many.before_data.insert(many.before_data.end(), empty.begin(), empty.end());
    }
    return fixture::MakeWav(many, Bytes(8, 1));
  };
  // "data" at 8 and "fmt " at 12, the file ending inside the rate field.
  Bytes short_fmt = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'd', 'a', 't', 'a', 'f',
                     'm', 't', ' ', 0, 0, 0, 0, 0, 0, 3, 0,   0x44, 0xAC};
  struct Case {
    const char* name;
    Bytes file;
    Attributes want;
  };
  const Case cases[] = {
      {"176444-byte example", fixture::MakeWav(WavSpec{44100, 16, 2}, Bytes(176400, 1)),
       {2, 44, 44100, 44100, 2, 16}},
      {"extra 34-byte chunk", fixture::MakeWav(DataTagAt(70), Bytes(40, 1)),
       {2, 78, 44100, 10, 2, 16}},
      {"36 trailing bytes are no audio", with_trailing, {2, 44, 44100, 10, 2, 16}},
      {"data size 0 runs to the end", WithField(with_trailing, 40, 0), {2, 44, 44100, 19, 2, 16}},
      {"data size 0xFFFFFFFF runs to the end", WithField(with_trailing, 40, 0xFFFFFFFF),
       {2, 44, 44100, 19, 2, 16}},
      {"data size past the end runs to the end", WithField(with_trailing, 40, 77),
       {2, 44, 44100, 19, 2, 16}},
      {"data chunk ends inside a frame", WithField(with_trailing, 40, 7), {2, 44, 44100, 1, 2, 16}},
      {"data chunk before the format chunk", fixture::MakeWav(data_first, Bytes(30, 1)),
       {1, 20, 22050, 10, 3, 24}},
      {"odd-sized chunk with its pad byte", fixture::MakeWav(padded, Bytes(40, 1)),
       {2, 62, 44100, 10, 2, 16}},
      {"second format chunk", fixture::MakeWav(second_format, Bytes(40, 1)),
       {2, 68, 44100, 10, 2, 16}},
      {"chunk size past the end: the scan decides", fixture::MakeWav(broken, Bytes(40, 1)),
       {2, 62, 44100, 19, 2, 16}},
      {"chunk size past the end beyond the first read", fixture::MakeWav(broken_far, Bytes(40, 1)),
       {2, 5070, 44100, 19, 2, 16}},
      {"partial frame dropped", fixture::MakeWav(WavSpec{44100, 16, 2}, Bytes(43, 1)),
       {2, 44, 44100, 10, 2, 16}},
      {"extensible format chunk", fixture::MakeWav(extensible, Bytes(60, 1)),
       {2, 68, 48000, 10, 3, 24}},
      {"8-bit mono", fixture::MakeWav(WavSpec{8000, 8, 1}, Bytes(50, 1)), {1, 44, 8000, 50, 1, 8}},
      {"3 channels", fixture::MakeWav(WavSpec{22050, 16, 3}, Bytes(60, 1)),
       {3, 44, 22050, 10, 2, 16}},
      {"4-bit audio has block align 0", fixture::MakeWav(WavSpec{8000, 4, 1}, Bytes(50, 1)),
       {1, 44, 8000, 0, 0, 4}},
      {"data tag straddling the first read", fixture::MakeWav(DataTagAt(4094), Bytes(8, 1)),
       {2, 4102, 44100, 2, 2, 16}},
      {"data chunk head ending the first read", fixture::MakeWav(DataTagAt(4088), Bytes(8, 1)),
       {2, 4096, 44100, 2, 2, 16}},
      {"data chunk head just past the first read", fixture::MakeWav(DataTagAt(4096), Bytes(8, 1)),
       {2, 4104, 44100, 2, 2, 16}},
      {"data tag at 131072", fixture::MakeWav(DataTagAt(131072), Bytes(8, 1)),
       {2, 131080, 44100, 2, 2, 16}},
      {"data tag at 131074, found by the walk", fixture::MakeWav(DataTagAt(131074), Bytes(8, 1)),
       {2, 131082, 44100, 2, 2, 16}},
      {"fmt fields past the end read as 0", short_fmt, {3, 16, 44100, 0, 0, 0}},
      {"RF64, its audio sized by its ds64 chunk", fixture::MakeWav(rf64_trailing, Bytes(40, 1)),
       {2, 80, 44100, 10, 2, 16}},
      {"data chunk as the 4096th chunk: walked", empty_chunks(4093),
       {2, 32804, 44100, 2, 2, 16}},
      {"data chunk as the 4097th chunk: scanned", empty_chunks(4094), {2, 52, 44100, 8192, 2, 16}},
  };
  fixture::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Describe(ReadAttributes(Put(dir, "in.wav", c.file))), Describe(c.want));
  }
}

// Without a "fmt" tag the message is printed and the run goes on (status 0),
// reading the fields as though the tag stood at 131072.
TEST_F(GetAttributes, CarriesOnWithoutFormatTag) {
  Bytes no_fmt = fixture::MakeWav(WavSpec{44100, 16, 2}, Bytes(40, 1));
  no_fmt[12] = 'F';
  Bytes far_fields = no_fmt;
  far_fields.resize(131100, 0);
  far_fields[131082] = 2;     // channels at 131072 + 10
  far_fields[131085] = 0xAC;  // rate 0xAC00 at 131072 + 12
  far_fields[131094] = 16;    // bits at 131072 + 22
  struct Case {
    const char* name;
    Bytes file;
    Attributes want;
  };
  const Case cases[] = {
      {"short file reads 0", no_fmt, {0, 44, 0, 0, 0, 0}},
      {"fields read at 131072", far_fields, {2, 44, 0xAC00, (131100 - 44) / 4, 2, 16}},
  };
  fixture::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Put(dir, "in.wav", c.file);
    ExpectExit([&] { std::fputs(Describe(ReadAttributes(path)).c_str(), stdout); }, 0,
               "Can't find format chunk in wave file!\n" + Describe(c.want));
  }
}

TEST_F(GetAttributes, EndsRunOnUnusableSource) {
  const std::string kNoData = "Can't find data block in wave file!\n";
  Bytes odd = fixture::MakeWav(WavSpec{44100, 16, 2}, Bytes(40, 1));
  std::copy_n("junk", 4, odd.begin() + 36);
  std::copy_n("data", 4, odd.begin() + 45);
  Bytes not_riff = fixture::MakeWav(DataTagAt(131074), Bytes(8, 1));
  std::copy_n("RIFX", 4, not_riff.begin());
  fixture::TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    std::string message;
  };
  const Case cases[] = {
      {"missing file", dir.Path("gone.wav"),
       "Cannot find file in track list called " + dir.Path("gone.wav") + "!!\n"},
      {"directory", dir.path, "Cannot find file in track list called " + dir.path + "!!\n"},
      {"data tag at 131074 of a file that is not RIFF", Put(dir, "far.wav", not_riff), kNoData},
      {"data tag at an odd offset", Put(dir, "odd.wav", odd), kNoData},
      {"odd-sized chunk without its pad byte",
       Put(dir, "unpadded.wav", fixture::MakeWav(DataTagAt(53), Bytes(40, 1))), kNoData},
      {"neither tag", Put(dir, "none.wav", Bytes(100, 0)),
       "Can't find format chunk in wave file!\n" + kNoData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectExit([&] { ReadAttributes(c.path); }, 2, c.message);
  }
}

// Every length of a cut 16-bit stereo file either ends the run or counts
// only the whole frames that remain.
TEST_F(GetAttributes, SurvivesEveryTruncation) {
  const Bytes whole = fixture::MakeWav(WavSpec{44100, 16, 2}, Bytes(16, 1));
  fixture::TempDir dir;
  for (size_t length = 0; length <= whole.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::string path = Put(dir, "cut.wav", Slice(whole, 0, length));
    if (length < 40) {
      ExpectExit([&] { ReadAttributes(path); }, 2,
                 std::string(length < 15 ? "Can't find format chunk in wave file!\n" : "") +
                     "Can't find data block in wave file!\n");
    } else {
      EXPECT_EQ(ReadAttributes(path).frames, length < 44 ? 0 : int32_t(length - 44) / 4);
    }
  }
}

// A RIFF file of 4 GiB or more is refused; an RF64 file is read through the
// 64-bit sizes of its ds64 chunk.
TEST_F(GetAttributes, RefusesRiffFilesOf4GiBAndReadsRf64) {
  fixture::TempDir dir;
  const std::string path = Put(dir, "big.wav", fixture::MakeWav(WavSpec{44100, 16, 1}, {}));
  ASSERT_EQ(truncate(path.c_str(), 4294967295), 0);  // sparse: nothing is stored
  EXPECT_EQ(ReadAttributes(path).frames, (4294967295 - 44) / 2);
  ASSERT_EQ(truncate(path.c_str(), 4294967296), 0);
  ExpectExit([&] { ReadAttributes(path); }, 2,
             "Source file " + path + " is 4 GiB or larger, which is not supported\n");
  WavSpec rf64{44100, 16, 2};
  rf64.riff = "RF64";
  const int64_t data = 4294967296 + 96;  // the data size its ds64 chunk declares
  const std::string far = Put(dir, "far.wav", WithField(WithField(fixture::MakeWav(rf64, {}), 28,
                                                                  uint32_t(data)), 32, uint32_t(data >> 32)));
  ASSERT_EQ(truncate(far.c_str(), 80 + data + 100), 0);  // and chunks after the audio
  EXPECT_EQ(Describe(ReadAttributes(far)), Describe({2, 80, 44100, int32_t(data / 4), 2, 16}));
}

TEST_F(MakeHeader, WritesCanonicalHeader) {
  const Bytes k44100Stereo = {0x52, 0x49, 0x46, 0x46, 0x34, 0xB1, 0x02, 0x00, 0x57, 0x41, 0x56,
                              0x45, 0x66, 0x6D, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                              0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1, 0x02, 0x00, 0x04,
                              0x00, 0x10, 0x00, 0x64, 0x61, 0x74, 0x61, 0x10, 0xB1, 0x02, 0x00};
  const Bytes kEmpty24Mono = {0x52, 0x49, 0x46, 0x46, 0x24, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56,
                              0x45, 0x66, 0x6D, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                              0x01, 0x00, 0x80, 0xBB, 0x00, 0x00, 0x80, 0x32, 0x02, 0x00, 0x03,
                              0x00, 0x18, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0x00, 0x00, 0x00};
  struct Case {
    const char* name;
    HeaderArguments header;
    bool existing;  // a longer file already stands at the path
    Bytes want;
  };
  const Case cases[] = {
      {"44100 Hz 16-bit stereo", {44100, 16, 44100, 2}, false, k44100Stereo},
      {"0 frames 24-bit mono", {48000, 24, 0, 1}, false, kEmpty24Mono},
      {"65538 channels used as 2", {44100, 16, 44100, 65538}, false, k44100Stereo},
      {"existing long file truncated", {44100, 16, 44100, 2}, true, k44100Stereo},
  };
  fixture::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path("out.wav");
    std::remove(path.c_str());
    if (c.existing) fixture::WriteFile(path, Bytes(100000, 0xAB));
    c.header.Make(path);
    EXPECT_EQ(fixture::ReadFile(path), c.want);
  }
}

// Every header MAKE_HEADER writes has its audio found at 44 by the walk, also
// where a rate, byte rate or RIFF size spells "data" before the tag at 36 and
// would mislead the tag scan.
TEST_F(MakeHeader, AudioIsFoundAt44WhateverTheFieldsSpell) {
  constexpr int32_t kSpellsData = 0x61746164;  // the bytes "data", little-endian
  struct Case {
    const char* name;
    HeaderArguments header;
    bool scan_finds_36;
  };
  const Case cases[] = {
      {"44100 Hz 16-bit stereo", {44100, 16, 44100, 2}, true},
      {"rate spells data", {kSpellsData, 16, 10, 2}, false},
      {"byte rate spells data", {kSpellsData / 4, 16, 10, 2}, false},
      {"RIFF size spells data", {8000, 16, (kSpellsData - 36) / 2, 1}, false},
      {"one frame off", {8000, 16, (kSpellsData - 36) / 2 + 1, 1}, true},
  };
  fixture::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Path("out.wav");
    c.header.Make(path);
    int32_t tag = 0;
    const Bytes header = fixture::ReadFile(path);
    ASSERT_TRUE(FindTagInBytes(header.data(), int64_t(header.size()), "data", 4, &tag));
    EXPECT_EQ(tag == 36, c.scan_finds_36);
    FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    const AudioSpan span = LocateAudio(file);
    std::fclose(file);
    EXPECT_TRUE(span.has_format && span.has_data);
    EXPECT_EQ(span.format_at, 12);
    EXPECT_EQ(span.data_start, 44);
  }
}

TEST_F(MakeHeader, EndsRunWhenFileCannotBeCreated) {
  fixture::TempDir dir;
  const std::string path = dir.Path("missing/out.wav");
  ExpectExit([&] { MAKE_HEADER(path.c_str(), 44100, 16, 10, 2); }, 2,
             "Cannot create file " + path + "\n");
}

TEST_F(PadFile, WritesZeroFrames) {
  const Bytes header = fixture::MakeWav(WavSpec{44100, 16, 2}, {});
  WavSpec extra24{48000, 24, 2};
  extra24.extra_chunk_bytes = DataTagAt(70).extra_chunk_bytes;
  const Bytes noise16 = fixture::MakeWav(WavSpec{44100, 16, 2}, Audio(3000, 2, 16, 1));
  const Bytes noise24 = fixture::MakeWav(extra24, Audio(3000, 2, 24, 2));
  const Bytes wide = fixture::MakeWav(WavSpec{44100, 16, 2}, Bytes(12 * 2000, 0x77));
  struct Case {
    const char* name;
    Bytes file;
    int32_t start, bytes_per_sample, channels, count;
    size_t zeros_at, zeros;  // bytes expected to become zero
  };
  const Case cases[] = {
      {"grows a bare header", header, 1000, 2, 2, 1000, 44, 8000},
      {"one block of 1024", noise16, 100, 2, 2, 1024, 44 + 400, 4096},
      {"blocks of 1024 and 1", noise16, 100, 2, 2, 1025, 44 + 400, 4100},
      {"24-bit past the end, audio from byte 78", noise24, 2500, 3, 2, 2049, 78 + 15000, 6 * 2049},
      {"12-byte frames in smaller steps", wide, 10, 4, 3, 1500, 44 + 120, 18000},
      {"0 frames", noise16, 100, 2, 2, 0, 0, 0},
      {"negative start", noise16, -1, 2, 2, 100, 0, 0},
      {"block align 0", noise16, 100, 0, 2, 100, 0, 0},
      {"frame wider than the buffer", noise16, 0, 4096, 2, 5, 0, 0},
  };
  fixture::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Put(dir, "pad.wav", c.file);
    PAD_FILE(path.c_str(), c.start, c.bytes_per_sample, c.channels, c.count);
    EXPECT_EQ(fixture::ReadFile(path), Overlay(c.file, c.zeros_at, Bytes(c.zeros, 0)));
  }
}

TEST_F(PadFile, EndsRunOnUnusableFile) {
  fixture::TempDir dir;
  const std::string bare = Put(dir, "bare.wav", Bytes(100, 0)), gone = dir.Path("gone.wav");
  ExpectExit([&] { PAD_FILE(gone.c_str(), 0, 2, 2, 10); }, 2, "Cannot open file " + gone + "\n");
  ExpectExit([&] { PAD_FILE(bare.c_str(), 0, 2, 2, 0); }, 2,
             "Can't find data block in wave file!\n");
  EXPECT_EQ(fixture::ReadFile(bare), Bytes(100, 0));
  EXPECT_FALSE(fixture::FileExists(gone));
}

TEST_F(InsertFile, CopiesFramesBitExact) {
  const Bytes source16 = Audio(3000, 2, 16, 3), source24 = Audio(3000, 2, 24, 4);
  const Bytes dest16 = Audio(4000, 2, 16, 5), dest24 = Audio(4000, 2, 24, 6);
  const Bytes wide = Audio(2000, 3, 24, 9);
  struct Case {
    const char* name;
    int32_t bits, channels;  // bits per sample as the copy is told
    Bytes source, dest;
    int32_t insert, count, read_start;
    int32_t copied;  // frames expected to arrive
    Bytes source_trailing = {};  // chunks after the source's audio
  };
  const Case cases[] = {
      {"one block", 16, 2, source16, dest16, 10, 1024, 5, 1024},
      {"blocks of 1024 and 1", 16, 2, source16, dest16, 10, 1025, 5, 1025},
      {"two full blocks", 24, 2, source24, dest24, 7, 2048, 900, 2048},
      {"two blocks and 1", 24, 2, source24, dest24, 7, 2049, 900, 2049},
      {"grows the destination", 24, 2, source24, Bytes(600, 0), 50, 2049, 0, 2049},
      {"9-byte frames in smaller steps", 24, 3, wide, dest24, 3, 1500, 2, 1500},
      {"0 frames", 16, 2, source16, dest16, 10, 0, 5, 0},
      {"negative insert frame", 16, 2, source16, dest16, -1, 100, 5, 0},
      {"negative read start", 16, 2, source16, dest16, 10, 100, -1, 0},
      {"short read: whole frames only", 16, 2, Overlay(source16, 12000, {9, 9, 9}), dest16, 0,
       2049, 1000, 2000},
      {"read beyond the source", 16, 2, source16, dest16, 0, 100, 5000, 0},
      {"read stops where the audio ends", 16, 2, source16, dest16, 0, 2049, 1000, 2000,
       fixture::Chunk("LIST", Bytes(36, 0x55))},
  };
  fixture::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes dest_file = fixture::MakeWav(WavSpec{44100, 16, 2}, c.dest);
    const std::string dest = Put(dir, "dest.wav", dest_file);
    WavSpec source_layout = DataTagAt(70);
    source_layout.trailing = c.source_trailing;
    const std::string source = Put(dir, "src.wav", fixture::MakeWav(source_layout, c.source));
    const size_t align = size_t(c.bits / 8 * c.channels);
    INSERT_FILE(dest.c_str(), source.c_str(), c.insert, c.bits / 8, c.channels, c.count,
                c.read_start, 0.0);
    const Bytes moved = Slice(c.source, size_t(c.read_start) * align, size_t(c.copied) * align);
    EXPECT_EQ(fixture::ReadFile(dest), Overlay(dest_file, 44 + size_t(c.insert) * align, moved));
  }
}

TEST_F(InsertFile, EndsRunOnUnusableFile) {
  fixture::TempDir dir;
  const Bytes good = fixture::MakeWav(WavSpec{44100, 16, 2}, Audio(100, 2, 16, 7));
  const Bytes no_data = Bytes(100, 0);
  const std::string dest = Put(dir, "dest.wav", good), source = Put(dir, "src.wav", good);
  const std::string bare = Put(dir, "bare.wav", no_data), gone = dir.Path("gone.wav");
  const std::string kNoData = "Can't find data block in wave file!\n";
  struct Case {
    const char* name;
    std::string dest, source, message;
  };
  const Case cases[] = {
      {"missing destination", gone, source, "Cannot open file " + gone + "\n"},
      {"missing source", dest, gone, "Cannot open file " + gone + "\n"},
      {"source is a directory", dest, dir.path, "Cannot open file " + dir.path + "\n"},
      {"destination without data tag", bare, source, kNoData},
      {"source without data tag", dest, bare, kNoData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectExit([&] { INSERT_FILE(c.dest.c_str(), c.source.c_str(), 0, 2, 2, 0, 0, 0.0); }, 2,
               c.message);
    EXPECT_EQ(fixture::ReadFile(dest), good);
    EXPECT_EQ(fixture::ReadFile(bare), no_data);
    EXPECT_FALSE(fixture::FileExists(gone));
  }
}

// A write that fails, here one past the file-size limit (its signal ignored,
// so that the write returns an error), ends the run with status 2 and names
// the file, from PAD_FILE and from INSERT_FILE alike.
TEST_F(WavWrite, FailedWriteEndsRunWithStatus2) {
  constexpr rlim_t kLimitBytes = 64 * 1024;
  fixture::TempDir dir;
  const std::string source =
      Put(dir, "src.wav", fixture::MakeWav(WavSpec{44100, 16, 2}, Audio(40000, 2, 16, 3)));
  struct Case {
    const char* name;
    std::function<void(const std::string& dest)> write;  // writes 160,000 bytes of audio
  };
  const Case cases[] = {
      {"PAD_FILE", [](const std::string& dest) { PAD_FILE(dest.c_str(), 0, 2, 2, 40000); }},
      {"INSERT_FILE",
       [&](const std::string& dest) {
         INSERT_FILE(dest.c_str(), source.c_str(), 0, 2, 2, 40000, 0, 0.0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dest = Put(dir, "dest.wav", fixture::MakeWav(WavSpec{44100, 16, 2}, {}));
    ExpectExit(
        [&] {
          std::signal(SIGXFSZ, SIG_IGN);
          const rlimit limit = {kLimitBytes, kLimitBytes};
          ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
          c.write(dest);
        },
        2, "Cannot write file " + dest + "\n");
  }
}

TEST_F(InsertFile, AppliesLevel) {
  struct Case {
    const char* name;
    int32_t bits, channels;
    double level_db;
  };
  const Case cases[] = {
      {"16-bit stereo -6 dB", 16, 2, -6.0},
      {"16-bit mono +6 dB", 16, 1, 6.0},
      {"24-bit mono -20 dB", 24, 1, -20.0},
      {"24-bit stereo +3.5 dB", 24, 2, 3.5},
  };
  fixture::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WavSpec layout{44100, c.bits, c.channels};
    const std::vector<int32_t> samples = fixture::NoiseSamples(2049, c.channels, c.bits, 8);
    const Bytes dest_file = fixture::MakeWav(layout, {});
    const std::string dest = Put(dir, "dest.wav", dest_file);
    const std::string source =
        Put(dir, "src.wav", fixture::MakeWav(layout, fixture::EncodeSamples(samples, c.bits)));
    INSERT_FILE(dest.c_str(), source.c_str(), 0, c.bits / 8, c.channels, 2049, 0, c.level_db);
    const Bytes levelled = fixture::EncodeSamples(fixture::Levelled(samples, c.level_db, c.bits), c.bits);
    EXPECT_EQ(fixture::ReadFile(dest), Overlay(dest_file, 44, levelled));
  }
}

}  // namespace
