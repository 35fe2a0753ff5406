// Runs with a format line: sources converted to the destination's sample
// format, channels and rate as they are copied.
#include "app/conversion.h"

#include <gtest/gtest.h>
#include <unistd.h>

#ifdef SPLYCE_HAVE_SOXR
#include <soxr.h>
#endif

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/destination_model.h"
#include "support/run_binary.h"
#include "support/wav_fixture.h"

namespace {

using fixture::Format;
using fixture::TempDir;

constexpr int32_t kVoiceRate = 48000;
constexpr int32_t kMusicRate = 44100;

// Two seconds of stereo music at 44.1 kHz, 16 bits: tones well inside the
// band both rates carry, a different mix in each channel.
std::vector<int32_t> Music() {
  std::vector<int32_t> samples;
  for (int32_t f = 0; f < 2 * kMusicRate; ++f) {
    const double t = double(f) / kMusicRate;
    samples.push_back(int32_t(std::lround(9000 * std::sin(2 * M_PI * 440 * t) +
                                          6000 * std::sin(2 * M_PI * 5000 * t + 1) +
                                          3000 * std::sin(2 * M_PI * 13000 * t))));
    samples.push_back(int32_t(std::lround(12000 * std::sin(2 * M_PI * 220 * t + 2) +
                                          5000 * std::sin(2 * M_PI * 9000 * t))));
  }
  return samples;
}

// The samples of frames [from, from + frames) of a 24-bit stereo WAV file.
std::vector<int32_t> StereoFrames(const TempDir& dir, const std::string& name, int32_t from,
                                  int32_t frames) {
  const std::vector<int32_t> all =
      fixture::DecodeSamples(fixture::AudioOf(fixture::ReadFile(dir.Path(name))), 24);
  return std::vector<int32_t>(all.begin() + 2 * from, all.begin() + 2 * (from + frames));
}

// The largest difference between two runs of samples of one length.
int64_t LargestDifference(const std::vector<int32_t>& a, const std::vector<int32_t>& b,
                          size_t skip = 0) {
  EXPECT_EQ(a.size(), b.size());
  int64_t largest = 0;
  for (size_t i = skip; i + skip < std::min(a.size(), b.size()); ++i) {
    largest = std::max<int64_t>(largest, std::llabs(int64_t(a[i]) - b[i]));
  }
  return largest;
}

#ifdef SPLYCE_HAVE_SOXR
// Source frames [from, to) of the stereo music, on the 24-bit scale,
// resampled to 48 kHz in one call at very high quality, truncated toward
// zero.
std::vector<int32_t> OneShot(const std::vector<int32_t>& music, int32_t from, int32_t to) {
  std::vector<double> in(music.begin() + 2 * from, music.begin() + 2 * to);
  for (double& v : in) v *= 256;
  const size_t frames = size_t(to - from) * kVoiceRate / kMusicRate;
  std::vector<double> out(2 * frames);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  size_t made = 0;
  EXPECT_EQ(soxr_oneshot(kMusicRate, kVoiceRate, 2, in.data(), size_t(to - from), nullptr,
                         out.data(), frames, &made, &io, &quality, &runtime),
            nullptr);
  EXPECT_EQ(made, frames);
  std::vector<int32_t> whole;
  for (double v : out) whole.push_back(fixture::Clipped(v, 24));
  return whole;
}
#endif

// The podcast: a 48 kHz 24-bit mono voice and 44.1 kHz 16-bit stereo music
// into 48 kHz 24-bit stereo. Each voice edit is its source's frames in both
// channels; each music edit is the music resampled: within a unit of
// libsoxr's one-shot conversion of the edit's own stretch away from its
// ends, and of the whole source up to its ends, where the edit's filter
// reads the frames around it; and close to SoX's own resampler. Lengths
// follow trunc(frames x 48000 / 44100).
TEST(BinaryConversion, PodcastOfVoiceAndMusic) {
#ifndef SPLYCE_HAVE_SOXR
  GTEST_SKIP() << "built without libsoxr";
#else
  TempDir dir;
  const std::vector<int32_t> voice =
      fixture::WriteNoise(dir.Path("voice.wav"), {kVoiceRate, 24, 1}, 72000, 3);
  const std::vector<int32_t> music = Music();
  fixture::WriteWav(dir.Path("music.wav"), {kMusicRate, 16, 2}, music);
  const fixture::RunResult r = fixture::RunTask(
      dir, "dest\tout.wav\nformat\t48000\t24\t2\nsrc\tvoice.wav\nxin\t0.25\nxout\t1\n"
           "src\tmusic.wav\nxin\t0.5\nxout\t1.5\nsrc\tvoice.wav\n"
           "src\tmusic.wav\nins\t4\nxout\t0.2\nsrc\tmusic.wav\nxin\t1.5\n");
  ASSERT_EQ(r.status, 0) << r.output << r.errors;
  EXPECT_EQ(r.errors,
            "task.txt:3: note: task 1 (\"voice.wav\") is converted from 48000 Hz 24-bit integer, "
            "1 channel to 48000 Hz 24-bit integer, 2 channels\n"
            "task.txt:6: note: task 2 (\"music.wav\") is converted from 44100 Hz 16-bit integer, "
            "2 channels to 48000 Hz 24-bit integer, 2 channels\n");
  // A read is told at its source's rate, the destination at its own.
  EXPECT_NE(r.output.find("Task 2\tInsert point 0.750 sec\n\tFile music.wav\n\tRead start 0.500 "
                          "sec\n\tRead length 1.000 sec\n"),
            std::string::npos);
  EXPECT_NE(r.output.find("Built\tout.wav\n\tLength 4.700 sec\n\tBits 24\n\tChannels 2\n"
                          "\tSample rate 48000\n"),
            std::string::npos);
  const fixture::Bytes out = fixture::ReadFile(dir.Path("out.wav"));
  ASSERT_EQ(out.size(), 44u + 225600u * 6);
  EXPECT_EQ(out, fixture::MakeWav({48000, 24, 2}, fixture::AudioOf(out)));  // a plain header
  struct Voice { int32_t at, from, frames; };
  for (const Voice& v : {Voice{0, 12000, 36000}, Voice{84000, 0, 72000}}) {
    std::vector<int32_t> doubled;
    for (int32_t f = v.from; f < v.from + v.frames; ++f) doubled.insert(doubled.end(), 2, voice[size_t(f)]);
    EXPECT_EQ(StereoFrames(dir, "out.wav", v.at, v.frames), doubled) << "voice at " << v.at;
  }
  EXPECT_EQ(StereoFrames(dir, "out.wav", 156000, 36000), std::vector<int32_t>(72000, 0));
  ASSERT_TRUE(!fixture::HaveSox() ||
              fixture::Sox(dir, "-D music.wav -b 24 sox.wav rate -v -L 48000"));
  const std::vector<int32_t> whole = OneShot(music, 0, 2 * kMusicRate);
  struct MusicEdit { int32_t at, from, to; };
  for (const MusicEdit& m : {MusicEdit{36000, 22050, 66150}, MusicEdit{192000, 0, 8820},
                             MusicEdit{201600, 66150, 88200}}) {
    SCOPED_TRACE(m.at);
    const int32_t first = int32_t(int64_t(m.from) * kVoiceRate / kMusicRate);
    const int32_t frames = int32_t(int64_t(m.to - m.from) * kVoiceRate / kMusicRate);
    const std::vector<int32_t> edit = StereoFrames(dir, "out.wav", m.at, frames);
    // Within 20 ms of its ends a stretch resampled alone lacks the frames
    // around it, and the one-shot call starts up at the source's start.
    const size_t ends = 2 * 960;
    EXPECT_LE(LargestDifference(edit,
                                std::vector<int32_t>(whole.begin() + 2 * first,
                                                     whole.begin() + 2 * (first + frames)),
                                m.from == 0 ? ends : 0),
              1);
    EXPECT_LE(LargestDifference(edit, OneShot(music, m.from, m.to), ends), 1);
    if (!fixture::HaveSox()) continue;
    const std::vector<int32_t> sox = StereoFrames(dir, "sox.wav", first, frames);
    double error = 0, signal = 0;
    for (size_t i = m.from == 0 ? ends : 0; i < edit.size(); ++i) {
      error += std::pow(double(edit[i]) - sox[i], 2);
      signal += std::pow(double(sox[i]), 2);
    }
    EXPECT_LT(10 * std::log10(error / signal), -110.0);  // dB
  }
#endif
}

// A format line whose format every source has changes nothing, byte for
// byte; a same-rate conversion makes the destination a source of the
// destination's format makes, levels and crossfades included; and a build
// without libsoxr does that too, but refuses a change of rate, before any
// file, saying how to get one.
TEST(BinaryConversion, SameRateConversionsNeedNoLibrary) {
  TempDir dir;
  const std::vector<int32_t> mono = fixture::WriteNoise(dir.Path("mono.wav"), {22050, 16, 1}, 8000, 5);
  std::vector<int32_t> stereo;
  for (int32_t v : mono) stereo.insert(stereo.end(), 2, v * 256);
  fixture::WriteWav(dir.Path("stereo.wav"), {22050, 24, 2}, stereo);
  fixture::WriteNoise(dir.Path("other.wav"), {22050, 24, 2}, 6000, 6);
  fixture::WriteNoise(dir.Path("fast.wav"), {44100, 24, 2}, 6000, 7);
  // The converted source crossfaded in, and crossfaded out into itself.
  const std::string edits = "src\tother.wav\nsrc\tSOURCE\nxin\t0.05\nxout\t0.15\nlvl\t-4.5\n"
                            "xf\t30\t3\nsrc\tSOURCE\nxout\t0.2\nlvl\t2\nxf\t20\t1\n";
  auto task = [&](const std::string& dest, const std::string& format, const std::string& source) {
    std::string text = "dest\t" + dest + "\n" + format + edits;
    for (size_t at; (at = text.find("SOURCE")) != std::string::npos;) text.replace(at, 6, source);
    return text;
  };
  const std::function<void()> without_soxr = [] {
    char* const argv[] = {const_cast<char*>("splyce"), const_cast<char*>("task.txt"), nullptr};
    execv(SPLYCE_BINARY_WITHOUT_SOXR, argv);
    _exit(127);
  };
  ASSERT_EQ(fixture::RunTask(dir, task("plain.wav", "", "stereo.wav")).status, 0);
  const fixture::Bytes plain = fixture::ReadFile(dir.Path("plain.wav"));
  ASSERT_EQ(fixture::RunTask(dir, task("same.wav", "format\t22050\t24\t2\n", "stereo.wav")).status, 0);
  EXPECT_EQ(fixture::ReadFile(dir.Path("same.wav")), plain);
  for (bool with_soxr : {true, false}) {
    SCOPED_TRACE(with_soxr ? "with libsoxr" : "without libsoxr");
    fixture::WriteFile(dir.Path("task.txt"),
                       fixture::Text(task("converted.wav", "format\t22050\t24\t2\n", "mono.wav")));
    const fixture::RunResult r =
        fixture::RunSplyceIn(dir.path, {"task.txt"}, with_soxr ? std::function<void()>() : without_soxr);
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_EQ(fixture::ReadFile(dir.Path("converted.wav")), plain);
  }
  fixture::WriteFile(dir.Path("task.txt"),
                     fixture::Text(task("resampled.wav", "format\t22050\t24\t2\n", "fast.wav")));
  const fixture::RunResult r = fixture::RunSplyceIn(dir.path, {"task.txt"}, without_soxr);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output.substr(r.output.find("Cannot")),
            "Cannot convert fast.wav from 44100 Hz to 22050 Hz: this Splyce converts no sample "
            "rates\n");
  EXPECT_EQ(r.errors,
            "task.txt:4: error: task 2 (\"fast.wav\"): its rate of 44100 Hz would need converting "
            "to 22050 Hz, and this Splyce was built without libsoxr: install libsoxr (on Debian "
            "the package libsoxr-dev) and build Splyce again\n");
  EXPECT_FALSE(fixture::FileExists(dir.Path("resampled.wav")));
  // Float samples beyond full scale clip as they become integers.
  fixture::WriteFile(dir.Path("loud.wav"),
                     fixture::MakeWav({22050, 32, 1, 3}, fixture::EncodeFloats({1.5, -2, 0.5, 1}, 32)));
  const fixture::RunResult clipped =
      fixture::RunTask(dir, "dest\tclipped.wav\nformat\t22050\t16\t1\nsrc\tloud.wav\n");
  EXPECT_EQ(clipped.errors,
            "task.txt:3: note: task 1 (\"loud.wav\") is converted from 22050 Hz 32-bit float, 1 "
            "channel to 22050 Hz 16-bit integer, 1 channel\n"
            "splyce: warning: task 1 (\"loud.wav\"): 3 samples went past full scale in its "
            "conversion to the destination's format and were clipped: lower the source's level\n");
  EXPECT_EQ(fixture::DecodeSamples(fixture::AudioOf(fixture::ReadFile(dir.Path("clipped.wav"))), 16),
            (std::vector<int32_t>{32767, -32768, 16384, 32767}));
  // A format line names no speakers: the destination takes those of the
  // first source of its channel count that names them.
  fixture::WavSpec six{22050, 16, 6, 0xFFFE};
  six.channel_mask = 0x3F;
  fixture::WriteFile(dir.Path("six.wav"), fixture::MakeWav(six, fixture::Bytes(48, 0)));
  ASSERT_EQ(fixture::RunTask(dir, "dest\tsix24.wav\nformat\t22050\t24\t6\nsrc\tsix.wav\n").status, 0);
  const fixture::Bytes six24 = fixture::ReadFile(dir.Path("six24.wav"));
  ASSERT_GT(six24.size(), 44u);
  EXPECT_EQ(six24[40], 0x3F);  // the mask of the extensible format chunk
}

}  // namespace
