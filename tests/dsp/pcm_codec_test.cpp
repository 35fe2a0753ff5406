#include "dsp/pcm_codec.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(PcmCodec, DecodesKnownMonoSamples) {
  struct Case { int32_t bytes_per_sample; Bytes bytes; int32_t value; };
  const Case kCases[] = {
      {2, {0x00, 0x80}, -8388608}, {2, {0xFF, 0x7F}, 8388352}, {2, {0xFF, 0xFF}, -256},
      {2, {0x01, 0x00}, 256},      {3, {0xFF, 0xFF, 0x7F}, 8388607},
      {3, {0x00, 0x00, 0x80}, -8388608}, {3, {0xFF, 0xFF, 0xFF}, -1},
      {3, {0x00, 0x01, 0x00}, 256},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bytes_per_sample << "-byte value " << c.value);
    int32_t sample = 0;
    CHAR_TO_NUM32(c.bytes.data(), &sample, c.bytes_per_sample, 1);
    EXPECT_EQ(sample, c.value);
  }
}

TEST(PcmCodec, DecodesStereoLeftThenRight) {
  const uint8_t frame16[] = {0x01, 0x00, 0xFF, 0xFF};
  const uint8_t frame24[] = {0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
  int32_t left = 0, right = 0;
  CHAR_TO_NUM32_STEREO(frame16, &left, &right, 2, 1);
  EXPECT_EQ(left, 256);
  EXPECT_EQ(right, -256);
  CHAR_TO_NUM32_STEREO(frame24, &left, &right, 3, 1);
  EXPECT_EQ(left, 1);
  EXPECT_EQ(right, -1);
}

// Each value goes through all four encoders; the expected bytes are its low
// 16 and 24 bits, written out by hand.
TEST(PcmCodec, EncodesLowBitsWithoutClipping) {
  struct Case { int32_t value; uint8_t b16[2]; uint8_t b24[3]; };
  const Case kCases[] = {
      {-1, {0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},        {-256, {0x00, 0xFF}, {0x00, 0xFF, 0xFF}},
      {65541, {0x05, 0x00}, {0x05, 0x00, 0x01}},     {16777221, {0x05, 0x00}, {0x05, 0x00, 0x00}},
      {65534, {0xFE, 0xFF}, {0xFE, 0xFF, 0x00}},     {32768, {0x00, 0x80}, {0x00, 0x80, 0x00}},
      {8388608, {0x00, 0x00}, {0x00, 0x00, 0x80}},   {INT32_MIN, {0x00, 0x00}, {0x00, 0x00, 0x00}},
      {-300, {0xD4, 0xFE}, {0xD4, 0xFE, 0xFF}},      {8388607, {0xFF, 0xFF}, {0xFF, 0xFF, 0x7F}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "value " << c.value);
    const int32_t other = 0x010203;  // right channel: bytes 03 02 (01)
    uint8_t out[6] = {};
    NUM16MONO_TO_CHAR(&c.value, out, 1);
    EXPECT_EQ(Bytes(out, out + 2), Bytes(c.b16, c.b16 + 2));
    NUM24MONO_TO_CHAR(&c.value, out, 1);
    EXPECT_EQ(Bytes(out, out + 3), Bytes(c.b24, c.b24 + 3));
    NUM16STER_TO_CHAR(&c.value, &other, out, 1);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{c.b16[0], c.b16[1], 0x03, 0x02}));
    NUM24STER_TO_CHAR(&other, &c.value, out, 1);
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x03, 0x02, 0x01, c.b24[0], c.b24[1], c.b24[2]}));
  }
}

// Walks every raw bit pattern of the width through decode and encode; the
// decoded value is checked against the pattern read as two's complement.
void CheckRoundTrip(int32_t bytes_per_sample, int32_t first, int32_t count) {
  const int32_t bits = 8 * bytes_per_sample;
  const int32_t scale = bytes_per_sample == 2 ? 256 : 1;
  Bytes bytes(size_t(count) * size_t(bytes_per_sample));
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t b = 0; b < bytes_per_sample; ++b) {
      bytes[size_t(i * bytes_per_sample + b)] = uint8_t(uint32_t(first + i) >> (8 * b));
    }
  }
  std::vector<int32_t> samples(static_cast<size_t>(count));
  std::vector<int32_t> left(size_t(count) / 2), right(size_t(count) / 2);
  CHAR_TO_NUM32(bytes.data(), samples.data(), bytes_per_sample, count);
  CHAR_TO_NUM32_STEREO(bytes.data(), left.data(), right.data(), bytes_per_sample, count / 2);
  for (int32_t i = 0; i < count; ++i) {
    const int32_t pattern = first + i;
    const int32_t signed_value = pattern >= (1 << (bits - 1)) ? pattern - (1 << bits) : pattern;
    ASSERT_EQ(samples[size_t(i)], signed_value * scale) << "pattern " << pattern;
    ASSERT_EQ(i % 2 ? right[size_t(i / 2)] : left[size_t(i / 2)], samples[size_t(i)]);
    samples[size_t(i)] /= scale;
  }
  for (int32_t i = 0; i < count / 2; ++i) {
    left[size_t(i)] /= scale;
    right[size_t(i)] /= scale;
  }
  Bytes mono(bytes.size()), stereo(bytes.size());
  if (bytes_per_sample == 2) {
    NUM16MONO_TO_CHAR(samples.data(), mono.data(), count);
    NUM16STER_TO_CHAR(left.data(), right.data(), stereo.data(), count / 2);
  } else {
    NUM24MONO_TO_CHAR(samples.data(), mono.data(), count);
    NUM24STER_TO_CHAR(left.data(), right.data(), stereo.data(), count / 2);
  }
  ASSERT_EQ(mono, bytes);
  ASSERT_EQ(stereo, bytes);
}

TEST(PcmCodec, RoundTripsEvery16BitValue) { CheckRoundTrip(2, 0, 1 << 16); }

TEST(PcmCodec, RoundTripsEvery24BitValue) {
  const int32_t kChunk = 1 << 18;
  for (int32_t first = 0; first < (1 << 24); first += kChunk) CheckRoundTrip(3, first, kChunk);
}

TEST(PcmCodec, EncodersLeaveInputUnchanged) {
  const std::vector<int32_t> kValues = {-1, 70000, INT32_MIN, 8388608, 0, 123};
  std::vector<int32_t> left = kValues, right = kValues;
  uint8_t out[6 * 6];
  NUM16MONO_TO_CHAR(left.data(), out, 6);
  NUM24MONO_TO_CHAR(left.data(), out, 6);
  NUM16STER_TO_CHAR(left.data(), right.data(), out, 6);
  NUM24STER_TO_CHAR(left.data(), right.data(), out, 6);
  EXPECT_EQ(left, kValues);
  EXPECT_EQ(right, kValues);
}

// The loops of each width run in vector steps with a scalar tail: counts
// around the step sizes decode and encode every sample up to the count and
// touch nothing past it.
TEST(PcmCodec, SequencesStopAtTheCount) {
  const int32_t kGuard = 40;  // samples past the count that must stay as they were
  const int32_t kCounts[] = {1,  3,  4,  5,  7,   8,   9,   15,   16,  17,
                             31, 32, 33, 63, 64, 65, 127, 128, 129, 1023, 1025};
  for (int32_t bytes_per_sample : {2, 3}) {
    for (int32_t count : kCounts) {
      SCOPED_TRACE(testing::Message() << bytes_per_sample << " bytes, count " << count);
      const size_t total = size_t(count + kGuard);
      Bytes bytes(total * size_t(bytes_per_sample));
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 1);
      std::vector<int32_t> samples(total, 0x5A5A5A);
      CHAR_TO_NUM32(bytes.data(), samples.data(), bytes_per_sample, count);
      for (int32_t i = 0; i < count; ++i) {
        int32_t want = 0;
        CHAR_TO_NUM32(bytes.data() + size_t(i * bytes_per_sample), &want, bytes_per_sample, 1);
        ASSERT_EQ(samples[size_t(i)], want) << "sample " << i;
      }
      EXPECT_EQ(std::vector<int32_t>(samples.begin() + count, samples.end()),
                std::vector<int32_t>(size_t(kGuard), 0x5A5A5A));
      for (int32_t& v : samples) v /= bytes_per_sample == 2 ? 256 : 1;
      Bytes out(bytes.size(), 0xAA);
      if (bytes_per_sample == 2) NUM16MONO_TO_CHAR(samples.data(), out.data(), count);
      if (bytes_per_sample == 3) NUM24MONO_TO_CHAR(samples.data(), out.data(), count);
      Bytes want(bytes.begin(), bytes.begin() + count * bytes_per_sample);
      want.resize(bytes.size(), 0xAA);
      EXPECT_EQ(out, want);
    }
  }
}

TEST(PcmCodec, CountZeroOrUnsupportedWidthLeavesOutputUntouched) {
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const int32_t kMark = 0x5A5A5A;
  const int32_t kValue[] = {7, 7};
  struct Case { int32_t bytes_per_sample; int32_t count; };
  const Case kCases[] = {{2, 0}, {3, 0}, {3, -1}, {1, 2}, {4, 2}, {0, 2}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bytes_per_sample << " bytes, count " << c.count);
    int32_t left[2] = {kMark, kMark}, right[2] = {kMark, kMark};
    CHAR_TO_NUM32(bytes, left, c.bytes_per_sample, c.count);
    CHAR_TO_NUM32_STEREO(bytes, left, right, c.bytes_per_sample, c.count);
    EXPECT_EQ(left[0], kMark);
    EXPECT_EQ(right[0], kMark);
  }
  uint8_t out[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  NUM16MONO_TO_CHAR(kValue, out, 0);
  NUM24MONO_TO_CHAR(kValue, out, 0);
  NUM16STER_TO_CHAR(kValue, kValue, out, 0);
  NUM24STER_TO_CHAR(kValue, kValue, out, 0);
  EXPECT_EQ(Bytes(out, out + 6), Bytes(6, 0xAA));
}

// TruncateToInt32 gives INT32_MIN for what int32 cannot hold; the
// saturating truncation keeps the sign of a value too large, and NaN is 0.
TEST(PcmCodec, TruncatesTowardZeroWithinInt32) {
  struct Case { long double y; int32_t value, saturated; };
  const Case kCases[] = {
      {501.9L, 501, 501}, {-501.9L, -501, -501}, {-0.99L, 0, 0},
      {2147483647.99L, INT32_MAX, INT32_MAX}, {2147483648.0L, INT32_MIN, INT32_MAX},
      {-2147483648.99L, INT32_MIN, INT32_MIN}, {-2147483647.5L, -2147483647, -2147483647},
      {-2147483649.0L, INT32_MIN, INT32_MIN}, {1e30L, INT32_MIN, INT32_MAX},
      {std::numeric_limits<long double>::infinity(), INT32_MIN, INT32_MAX},
      {-std::numeric_limits<long double>::infinity(), INT32_MIN, INT32_MIN},
      {std::numeric_limits<long double>::quiet_NaN(), INT32_MIN, 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "y " << static_cast<double>(c.y));
    EXPECT_EQ(TruncateToInt32(c.y), c.value);
    EXPECT_EQ(TruncateSaturated(c.y), c.saturated);
  }
}

TEST(PcmCodec, FullScaleClipsTheValuesBeyondIt) {
  struct Case { int32_t bytes_per_sample, v, beyond, clipped; };
  const Case kCases[] = {
      {2, 32767, 0, 32767},           {2, 32768, 1, 32767},     {2, -32768, 0, -32768},
      {2, -32769, 1, -32768},         {3, 8388607, 0, 8388607}, {3, 8388608, 1, 8388607},
      {3, -8388608, 0, -8388608},     {3, -8388609, 1, -8388608},
      {3, INT32_MIN, 1, -8388608},    {2, INT32_MAX, 1, 32767}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bytes_per_sample << " bytes, value " << c.v);
    bool beyond = false;
    EXPECT_EQ(ClipToValidBits(c.v, c.bytes_per_sample * 8, &beyond), c.clipped);
    EXPECT_EQ(beyond, c.beyond != 0);
    const int32_t top = FullScaleTop(c.bytes_per_sample);
    EXPECT_EQ(BeyondRange(c.v, -top - 1, top), c.beyond);
    int32_t values[3] = {c.v, 7, c.v};
    EXPECT_EQ(ClipToFullScale(values, 2, c.bytes_per_sample), c.beyond);
    EXPECT_EQ(values[0], c.clipped);
    EXPECT_EQ(values[1], 7);
    EXPECT_EQ(values[2], c.v);  // past the count: untouched
  }
}

// Valid bits short of the container clip at their own full scale; results
// are truncated toward zero first.
TEST(PcmCodec, ValidBitsClipAtTheirOwnFullScale) {
  struct Case { long double y; int32_t valid_bits, clipped; bool beyond; };
  const Case kCases[] = {
      {524287.9L, 20, 524287, false}, {524288.0L, 20, 524287, true},
      {-524288.9L, 20, -524288, false}, {-524289.0L, 20, -524288, true},
      {1e30L, 32, 2147483647, true},  {-1e30L, 32, -2147483647 - 1, true},
      {0.0L / 0.0L, 24, 0, false}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.valid_bits << " valid bits, " << double(c.y));
    bool beyond = !c.beyond;
    EXPECT_EQ(ClipToValidBits(c.y, c.valid_bits, &beyond), c.clipped);
    EXPECT_EQ(beyond, c.beyond);
  }
}

TEST(ByteRoutines, AssembleAndDeconstructLittleEndian) {
  const uint8_t kPair[] = {0x34, 0x12};
  const uint8_t kHigh[] = {0xFF, 0xFF};
  EXPECT_EQ(Assem2(kPair), 0x1234);
  EXPECT_EQ(Assem2(kHigh), 65535);
  uint8_t out[4] = {};
  Decon2(0xABCD, out);
  EXPECT_EQ(Bytes(out, out + 2), (Bytes{0xCD, 0xAB}));

  struct Case { int32_t value; uint8_t bytes[4]; };
  const Case kWords[] = {{0x12345678, {0x78, 0x56, 0x34, 0x12}}, {-1, {0xFF, 0xFF, 0xFF, 0xFF}},
                         {INT32_MIN, {0x00, 0x00, 0x00, 0x80}}, {INT32_MAX, {0xFF, 0xFF, 0xFF, 0x7F}}};
  for (const Case& c : kWords) {
    SCOPED_TRACE(testing::Message() << "Assem4 " << c.value);
    EXPECT_EQ(Assem4(c.bytes), c.value);
  }
  // Division truncates toward zero, so negative values are not their
  // two's-complement bytes.
  const Case kDecon4[] = {{0x12345678, {0x78, 0x56, 0x34, 0x12}}, {0, {0, 0, 0, 0}},
                          {INT32_MAX, {0xFF, 0xFF, 0xFF, 0x7F}}, {-1, {0xFF, 0x00, 0x00, 0x00}},
                          {-256, {0x00, 0xFF, 0x00, 0x00}},      {-65536, {0x00, 0x00, 0xFF, 0x00}},
                          {-16777216, {0x00, 0x00, 0x00, 0xFF}}, {INT32_MIN, {0x00, 0x00, 0x00, 0x80}}};
  for (const Case& c : kDecon4) {
    SCOPED_TRACE(testing::Message() << "Decon4 " << c.value);
    Decon4(c.value, out);
    EXPECT_EQ(Bytes(out, out + 4), Bytes(c.bytes, c.bytes + 4));
  }
}

TEST(ByteRoutines, SplitValuesByTruncatingDivision) {
  struct Case { int32_t value; int32_t low16, high16, low24, middle24, high24; };
  const Case kCases[] = {{0x123456, 0x56, 0x1234, 0x56, 0x34, 0x12},
                         {65541, 5, 256, 5, 0, 1},
                         {16777221, 5, 65536, 5, 0, 256},
                         {-300, -44, -1, -44, -1, 0}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "value " << c.value);
    int32_t low = 0, middle = 0, high = 0;
    BITS16_TO_BYTES2(low, high, c.value);
    EXPECT_EQ(low, c.low16);
    EXPECT_EQ(high, c.high16);
    BITS24_TO_BYTES3(low, middle, high, c.value);
    EXPECT_EQ(low, c.low24);
    EXPECT_EQ(middle, c.middle24);
    EXPECT_EQ(high, c.high24);
  }
}

// A negative v split as -v - 1 and complemented with sign -1 gives the bytes
// the encoders write for v.
TEST(ByteRoutines, TwosCompSignMatchesEncoders) {
  struct Case { int32_t value; uint8_t b16[2]; uint8_t b24[3]; };
  const Case kCases[] = {{-1, {0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},
                         {-256, {0x00, 0xFF}, {0x00, 0xFF, 0xFF}},
                         {-129, {0x7F, 0xFF}, {0x7F, 0xFF, 0xFF}},
                         {-300, {0xD4, 0xFE}, {0xD4, 0xFE, 0xFF}},
                         {-8388608, {0x00, 0x00}, {0x00, 0x00, 0x80}},
                         {INT32_MIN, {0x00, 0x00}, {0x00, 0x00, 0x00}}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "value " << c.value);
    const int32_t magnitude = -(c.value + 1);
    int32_t low = 0, middle = 0, high = 0;
    BITS16_TO_BYTES2(low, high, magnitude);
    TWOS_COMP16(low, high, -1);
    EXPECT_EQ((Bytes{uint8_t(low & 0xFF), uint8_t(high & 0xFF)}), Bytes(c.b16, c.b16 + 2));
    BITS24_TO_BYTES3(low, middle, high, magnitude);
    TWOS_COMP24(low, middle, high, -1);
    EXPECT_EQ((Bytes{uint8_t(low & 0xFF), uint8_t(middle & 0xFF), uint8_t(high & 0xFF)}),
              Bytes(c.b24, c.b24 + 3));
  }
  // A positive sign only re-reads the low cells as signed bytes; the raw
  // values are compared, since a mask would hide a reading off by 256.
  struct SignedCase { int32_t cell, reading; };
  const SignedCase kReadings[] = {{200, -56}, {130, -126}, {127, 127}, {128, -128}, {0, 0}, {255, -1}};
  for (const SignedCase& c : kReadings) {
    SCOPED_TRACE(testing::Message() << "cell " << c.cell);
    int32_t low = c.cell, middle = c.cell, high = 3;
    TWOS_COMP24(low, middle, high, 1);
    EXPECT_EQ(low, c.reading);
    EXPECT_EQ(middle, c.reading);
    EXPECT_EQ(high, 3);
    low = c.cell;
    TWOS_COMP16(low, high, 1);
    EXPECT_EQ(low, c.reading);
  }
  int32_t low = 200, high = 3;
  TWOS_COMP16(low, high, -1);
  EXPECT_EQ(low, 55);
  EXPECT_EQ(high, -4);
}

}  // namespace
