// Conversion of samples to the destination's sample format and channels,
// through to the bytes written.
#include "dsp/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/wav_fixture.h"

namespace {

constexpr SampleFormat kInteger = {kEncodingInteger, 0};
constexpr SampleFormat kFloat = {kEncodingFloat, 0};

StreamFormat Int(int32_t bits, int32_t channels = 1) { return {bits / 8, kInteger, channels}; }
StreamFormat Float(int32_t bits, int32_t channels = 1) { return {bits / 8, kFloat, channels}; }

// Audio bytes of `values` in `format`: integers on its scale, or floats.
fixture::Bytes Encode(const std::vector<double>& values, const StreamFormat& format) {
  if (format.samples.encoding == kEncodingFloat) {
    return fixture::EncodeFloats(values, format.bytes_per_sample * 8);
  }
  std::vector<int32_t> whole(values.begin(), values.end());
  return fixture::EncodeSamples(whole, format.bytes_per_sample * 8);
}

// Each rule of the sample format, then of the channels, in both directions
// at full scale and at zero, checked on the values and on the bytes written.
TEST(Convert, SampleFormatsThenChannels) {
  const double kFull16 = 32767, kLow16 = -32768;
  const double kFull24 = 8388607, kLow24 = -8388608;
  const double kFull32 = 2147483647, kLow32 = -2147483648.0;
  struct Case {
    const char* name;
    StreamFormat from, to;
    std::vector<double> in, out;  // interleaved samples
    int64_t clipped = 0;
  };
  const Case cases[] = {
      {"16 to 24 shifts", Int(16), Int(24), {kFull16, kLow16, 0, -1}, {8388352, kLow24, 0, -256}},
      {"24 to 16 truncates toward zero", Int(24), Int(16), {kFull24, kLow24, 0, -8388097, -255},
       {kFull16, kLow16, 0, -32766, 0}},
      {"16 to 32 shifts", Int(16), Int(32), {kFull16, kLow16, 0}, {2147418112, kLow32, 0}},
      {"32 to 16 truncates", Int(32), Int(16), {kFull32, kLow32, 0, -65537}, {kFull16, kLow16, 0, -1}},
      {"24 to 32 shifts", Int(24), Int(32), {kFull24, kLow24, 0}, {2147483392, kLow32, 0}},
      {"32 to 24 truncates", Int(32), Int(24), {kFull32, kLow32, 0}, {kFull24, kLow24, 0}},
      {"16 to 32f divides", Int(16), Float(32), {kFull16, kLow16, 0}, {32767.0 / 32768, -1, 0}},
      {"24 to 64f divides", Int(24), Float(64), {kFull24, kLow24, 0}, {kFull24 / 8388608, -1, 0}},
      {"32 to 32f rounds to float", Int(32), Float(32), {kFull32, kLow32, 0}, {1, -1, 0}},
      {"32f to 16 truncates and clips", Float(32), Int(16), {1, -1, 0, 0.5, -0.99999, 2},
       {kFull16, kLow16, 0, 16384, -32767, kFull16}, 2},
      {"64f to 24 truncates and clips", Float(64), Int(24), {-3, 1, 0, 0.25}, {kLow24, kFull24, 0, 2097152}, 2},
      {"64f to 32 keeps the last unit", Float(64), Int(32), {kFull32 / 2147483648.0, -1, 0},
       {kFull32, kLow32, 0}},
      {"32f to 64f keeps the value", Float(32), Float(64), {1, -1, 0, 0.1f}, {1, -1, 0, 0.1f}},
      {"64f to 32f rounds", Float(64), Float(32), {1, -1, 0, 0.1}, {1, -1, 0, 0.1f}},
      {"mono to stereo", Int(16), Int(16, 2), {kFull16, kLow16, 0}, {kFull16, kFull16, kLow16, kLow16, 0, 0}},
      {"mono to six channels", Int(24), Int(24, 6), {kLow24}, std::vector<double>(6, kLow24)},
      {"mono 16 to stereo 24", Int(16), Int(24, 2), {kLow16}, {kLow24, kLow24}},
      {"stereo to mono halves the sum toward zero", Int(16, 2), Int(16),
       {kFull16, kFull16, kLow16, kLow16, kLow16, kFull16, 3, -4, 0, 0},
       {kFull16, kLow16, 0, 0, 0}},
      {"stereo to mono after the shift", Int(16, 2), Int(24), {kFull16, -1, kLow16, kLow16},
       {4194048, kLow24}},
      {"stereo float to mono", Float(32, 2), Float(32), {1, 0.5, -1, -1, 0, 0}, {0.75, -1, 0}},
      {"stereo float to mono 16", Float(32, 2), Int(16), {1, 1, -1, 0.5, 0, 0}, {kFull16, -8192, 0}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fixture::Bytes in = Encode(c.in, c.from);
    const int32_t frames = int32_t(c.in.size()) / c.from.channels;
    std::vector<double> converted(c.out.size() + 1, -7.0);
    int64_t clipped = ConvertFrames(in.data(), c.from, c.to, frames, converted.data());
    EXPECT_EQ(converted.back(), -7.0);  // nothing written past the last frame
    converted.pop_back();
    // Integers are whole before the rate is converted.
    if (c.to.samples.encoding == kEncodingInteger) {
      EXPECT_EQ(converted, c.out);
    }
    fixture::Bytes written(c.out.size() * size_t(c.to.bytes_per_sample));
    clipped += EncodeConverted(converted.data(), int64_t(converted.size()), c.to, written.data());
    EXPECT_EQ(clipped, c.clipped);
    EXPECT_EQ(written, Encode(c.out, c.to));
  }
}

// Samples of fewer valid bits than their containers convert from their
// valid bits: 20 valid bits in 24 into 24 is a shift by 4.
TEST(Convert, ValidBitsDecideTheScale) {
  const StreamFormat from = {3, {kEncodingInteger, 20}, 1};
  const fixture::Bytes in = fixture::EncodeContained({524287, -524288}, 24, 20);
  double out[2] = {};
  EXPECT_EQ(ConvertFrames(in.data(), from, Int(24), 2, out), 0);
  EXPECT_EQ(out[0], 8388592);
  EXPECT_EQ(out[1], -8388608);
}

TEST(Convert, ChannelRules) {
  struct Case { int32_t from, to; bool converts; };
  const Case cases[] = {{1, 1, true}, {1, 2, true}, {1, 32, true}, {2, 1, true},
                        {2, 2, true}, {2, 3, false}, {3, 2, false}, {6, 1, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(ChannelsConvert(c.from, c.to), c.converts) << c.from << " into " << c.to;
  }
}

}  // namespace
