#include "app/drawing.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "app/planning.h"
#include "base/files.h"
#include "dsp/pcm_codec.h"
#include "wav/wav_file.h"

namespace {

// Where things go in the picture (pixels): a column of lane names, then the
// timeline; from the top, the title, the ruler, the lanes, the envelope of
// each channel and the legend.
constexpr int32_t kWidth = 1600;
constexpr int32_t kLeft = 190;
constexpr int32_t kRight = 20;
constexpr int32_t kPlotWidth = kWidth - kLeft - kRight;
constexpr int32_t kTitleHeight = 30;
constexpr int32_t kRulerHeight = 30;
constexpr int32_t kLaneHeight = 22;
constexpr int32_t kBarHeight = 16;
constexpr int32_t kChannelHeight = 48;
constexpr int32_t kLegendHeight = 40;
constexpr int32_t kGap = 10;
// How wide a character of the labels is, to tell whether a label fits its
// bar, and how many ticks the ruler aims at.
constexpr double kCharWidth = 6.2;
constexpr int32_t kTickCount = 10;
constexpr int32_t kSecondsPerMinute = 60;
constexpr int32_t kSecondsPerHour = 3600;
// Ruler steps on a clock (seconds).
constexpr double kClockSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600};
constexpr int32_t kLabelBytes = 64;
constexpr int32_t kBitsPerByte = 8;
constexpr const char* kLaneColours[] = {"#4e79a7", "#f28e2b", "#59a14f", "#b07aa1",
                                        "#76b7b2", "#edc948", "#e15759", "#9c755f"};
constexpr int32_t kLaneColourCount = int32_t(sizeof kLaneColours / sizeof kLaneColours[0]);
constexpr char kEnvelopeColour[] = "#2b5d8a";
// The first byte that is no control character, and the replacement
// character written for a byte that starts no UTF-8 sequence.
constexpr unsigned char kFirstPlain = 0x20;
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// The lane of each entry, one per source file in order of first use, and
// the first entry of each lane, which names it.
int32_t g_lane[kMaxEntries];
int32_t g_lane_entry[kMaxEntries];
// The destination's waveform envelope: the peak of each column and channel
// as a fraction of full scale.
float g_peak[kPlotWidth][kMaxChannels];
uint8_t g_block[kBlockFrames * kMaxChannels * kMaxSampleBytes];

// Gives each entry its lane; returns how many there are.
int32_t AssignLanes(const EditTable& t) {
  int32_t lanes = 0;
  for (int32_t e = 0; e < t.entry_count; ++e) {
    g_lane[e] = lanes;
    for (int32_t l = 0; l < lanes; ++l) {
      if (std::strcmp(t.source_path[g_lane_entry[l]], t.source_path[e]) == 0) g_lane[e] = l;
    }
    if (g_lane[e] == lanes) g_lane_entry[lanes++] = e;
  }
  return lanes;
}

// The x of frame `frame` of the destination.
double X(const EditTable& t, int64_t frame) {
  return kLeft + double(frame) * kPlotWidth / std::max(t.total_frames, 1);
}

// Writes `text` as XML character data: markup escaped, control characters
// and bytes that are no UTF-8 replaced.
void PutText(FILE* out, const char* text) {
  const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
  while (*c != '\0') {
    const int32_t length = Utf8Length(c);
    const char* markup = *c == '&'   ? "&amp;"
                         : *c == '<' ? "&lt;"
                         : *c == '>' ? "&gt;"
                         : *c == '"' ? "&quot;"
                                     : nullptr;
    if (markup != nullptr) {
      std::fputs(markup, out);
    } else if (length == 0 || *c < kFirstPlain) {
      std::fputs(kReplacement, out);
    } else {
      std::fwrite(c, 1, size_t(length), out);
    }
    c += std::max(length, 1);
  }
}

// A time on the ruler in the task's unit: frames, seconds, or m:ss and
// h:mm:ss for long runs.
void TickLabel(const EditTable& t, double units, bool clock, char* label) {
  if (t.time_unit == kFrames) {
    std::snprintf(label, kLabelBytes, "%.0f", units);
  } else if (!clock) {
    std::snprintf(label, kLabelBytes, "%g s", units);
  } else {
    const long long whole = static_cast<long long>(units);
    if (whole >= kSecondsPerHour) {
      std::snprintf(label, kLabelBytes, "%lld:%02lld:%02lld", whole / kSecondsPerHour,
                    whole / kSecondsPerMinute % kSecondsPerMinute, whole % kSecondsPerMinute);
    } else {
      std::snprintf(label, kLabelBytes, "%lld:%02lld", whole / kSecondsPerMinute,
                    whole % kSecondsPerMinute);
    }
  }
}

// The step between ticks: 1, 2 or 5 times a power of ten of the unit, or
// on a clock, steps that minutes and hours divide.
double TickStep(double span, bool clock) {
  const double raw = std::max(span / kTickCount, 1e-9);
  if (clock) {
    for (double step : kClockSteps) {
      if (step >= raw) return step;
    }
    return std::ceil(raw / kSecondsPerHour) * kSecondsPerHour;
  }
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10.0 * power;
}

void PutRuler(const EditTable& t, FILE* out, int32_t top, int32_t bottom) {
  const double per_unit = t.time_unit == kFrames ? 1.0 : t.out_rate;
  const double span = double(t.total_frames) / per_unit;
  const bool clock = t.time_unit != kFrames && span >= 2 * kSecondsPerMinute;
  const double step = TickStep(span, clock);
  std::fprintf(out, "<g class=\"ruler\">\n");
  for (double at = 0.0; at <= span + step * 1e-9; at += step) {
    char label[kLabelBytes];
    TickLabel(t, at, clock, label);
    const double x = X(t, int64_t(std::llround(at * per_unit)));
    std::fprintf(out,
                 "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" class=\"tick\"/>"
                 "<text x=\"%.1f\" y=\"%d\" class=\"tick-label\">%s</text>\n",
                 x, top + kRulerHeight - 8, x, bottom, x, top + kRulerHeight - 12, label);
  }
  std::fprintf(out, "</g>\n");
}

void PutLanes(const EditTable& t, int32_t lanes, FILE* out, int32_t top) {
  std::fprintf(out, "<g class=\"lanes\">\n");
  for (int32_t l = 0; l < lanes; ++l) {
    const int32_t y = top + l * kLaneHeight;
    std::fprintf(out,
                 "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"lane lane%d\"/>"
                 "<text x=\"%d\" y=\"%d\" class=\"lane-name\">",
                 kLeft, y, kPlotWidth, kLaneHeight, l % 2, kLeft - 8, y + kLaneHeight - 7);
    PutText(out, t.source_path[g_lane_entry[l]]);
    std::fprintf(out, "</text>\n");
  }
  std::fprintf(out, "</g>\n");
}

// A rectangle over frames [first, end) from `y`, `height` high, at least a
// pixel wide.
void PutSpanRect(const EditTable& t, FILE* out, const FrameSpan& s, int32_t y, int32_t height,
                 const char* attributes) {
  const double x = X(t, s.first);
  const double width = std::max(X(t, s.end) - x, 1.0);
  std::fprintf(out, "<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" %s/>\n", x, y, width,
               height, attributes);
}

void PutSilence(const EditTable& t, const PlanLayout& layout, FILE* out, int32_t top,
                int32_t height) {
  for (int32_t i = 0; i < layout.silence_count; ++i) {
    PutSpanRect(t, out, layout.silence[i], top, height, "class=\"silence\"");
  }
}

// The bar of entry e: its title says all; its label as much as fits.
void PutEdit(const EditTable& t, int32_t e, FILE* out, int32_t top) {
  const FrameSpan span = {t.insert_frame[e],
                          int64_t(t.insert_frame[e]) + std::max(t.copy_length[e], 0), e};
  const int32_t y = top + g_lane[e] * kLaneHeight + (kLaneHeight - kBarHeight) / 2;
  const double x = X(t, span.first);
  const double width = std::max(X(t, span.end) - x, 1.0);
  char level[kLabelBytes];
  std::snprintf(level, sizeof level, "%.3f dB", t.level_db[e]);
  std::fprintf(out,
               "<g class=\"edit\" data-task=\"%d\"><rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" "
               "height=\"%d\" fill=\"%s\"/><title>Task %d: ",
               e + 1, x, y, width, kBarHeight, kLaneColours[g_lane[e] % kLaneColourCount], e + 1);
  PutText(out, t.source_path[e]);
  std::fprintf(out, ", %s</title>", level);
  char label[kLabelBytes];
  std::snprintf(label, sizeof label, "%d ", e + 1);
  const double room = width / kCharWidth;
  const double full =
      double(std::strlen(label) + std::strlen(t.source_path[e]) + 1 + std::strlen(level));
  if (room >= std::strlen(label)) {
    std::fprintf(out, "<text x=\"%.2f\" y=\"%d\" class=\"edit-label\">%s", x + 2,
                 y + kBarHeight - 4, label);
    if (room >= full) {
      PutText(out, t.source_path[e]);
      std::fprintf(out, " %s", level);
    }
    std::fprintf(out, "</text>");
  }
  std::fprintf(out, "</g>\n");
}

void PutOverwrites(const EditTable& t, const PlanLayout& layout, FILE* out, int32_t top) {
  for (int32_t i = 0; i < layout.overwrites_from[t.entry_count]; ++i) {
    const FrameSpan& s = layout.overwrites[i];
    const int32_t y = top + g_lane[s.entry] * kLaneHeight + (kLaneHeight - kBarHeight) / 2;
    PutSpanRect(t, out, s, y, kBarHeight, "class=\"overwritten\" fill=\"url(#hatch)\"");
  }
}

// A wedge over each laid clip, rising across the splice as the edit fades in.
void PutCrossfades(const EditTable& t, const PlanLayout& layout, FILE* out, int32_t top) {
  for (int32_t e = 0; e < t.entry_count; ++e) {
    if (!layout.laid[e]) continue;
    const int32_t y = top + g_lane[e] * kLaneHeight + (kLaneHeight - kBarHeight) / 2;
    const double x1 = X(t, layout.clip[e].first);
    const double x2 = std::max(X(t, layout.clip[e].end), x1 + 1.0);
    std::fprintf(out,
                 "<polygon class=\"crossfade\" data-task=\"%d\" points=\"%.2f,%d %.2f,%d "
                 "%.2f,%d\"/>\n",
                 e + 1, x1, y + kBarHeight, x2, y, x2, y + kBarHeight);
  }
}

// Reads the built destination's peaks into g_peak.
void ReadEnvelope(const EditTable& t, const char* built) {
  const int32_t channels = t.out_channels;
  const int32_t bps = t.out_bytes_per_sample;
  const int64_t align = BlockAlign(bps, channels);
  const int64_t header =
      HeaderBytes(uint32_t(t.out_bits), t.total_frames, uint32_t(channels), DestinationWave(t));
  const SampleFormat samples = DestinationSamples(t);
  const bool is_float = samples.encoding == kEncodingFloat;
  const int32_t valid_bits = ValidBits(samples, bps);
  const double full_scale = std::ldexp(1.0, valid_bits - 1);
  std::memset(g_peak, 0, sizeof g_peak);
  FILE* file = OpenWithoutWaiting(built, "rb");
  if (file == nullptr) ReadFailed(built, errno);
  for (int64_t f = 0; f < t.total_frames; f += kBlockFrames) {
    const int64_t count = std::min<int64_t>(kBlockFrames, t.total_frames - f);
    errno = 0;
    if (ReadFullyAt(fileno(file), header + f * align, g_block, count * align) != count * align) {
      ReadFailed(built, errno);
    }
    for (int64_t k = 0; k < count; ++k) {
      float* peak = g_peak[(f + k) * kPlotWidth / std::max(t.total_frames, 1)];
      for (int32_t c = 0; c < channels; ++c) {
        const uint8_t* p = g_block + k * align + c * bps;
        const double v = is_float ? GetFloatSample(p, bps)
                                  : GetValidSample(p, bps, valid_bits) / full_scale;
        peak[c] = std::max(peak[c], float(std::min(std::fabs(v), 1.0)));
      }
    }
  }
  std::fclose(file);
}

void PutEnvelope(const EditTable& t, FILE* out, int32_t top) {
  std::fprintf(out, "<g class=\"envelope\">\n");
  for (int32_t c = 0; c < t.out_channels; ++c) {
    const double middle = top + c * kChannelHeight + kChannelHeight / 2.0;
    std::fprintf(out,
                 "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" class=\"channel\"/>"
                 "<text x=\"%d\" y=\"%.0f\" class=\"lane-name\">channel %d</text>\n<path d=\"",
                 kLeft, top + c * kChannelHeight, kPlotWidth, kChannelHeight - 2, kLeft - 8,
                 middle + 4, c + 1);
    for (int32_t x = 0; x < kPlotWidth; ++x) {
      const double half = std::max(double(g_peak[x][c]) * (kChannelHeight - 4) / 2.0, 0.5);
      std::fprintf(out, "M%d.5 %.1fV%.1f", kLeft + x, middle - half, middle + half);
    }
    std::fprintf(out, "\"/>\n");
  }
  std::fprintf(out, "</g>\n");
}

void PutLegend(FILE* out, int32_t top) {
  struct Key {
    const char* attributes;
    const char* text;
  };
  char edit_key[kLabelBytes];
  std::snprintf(edit_key, sizeof edit_key, "fill=\"%s\"", kLaneColours[0]);
  const Key keys[] = {{edit_key, "edit (lane: its source)"},
                      {"class=\"crossfade\"", "crossfade"},
                      {"class=\"overwritten\" fill=\"url(#hatch)\"", "overwritten by a later edit"},
                      {"class=\"silence\"", "silence"},
                      {"class=\"envelope-key\"", "waveform peaks (after a build)"}};
  std::fprintf(out, "<g class=\"legend\">\n");
  int32_t x = kLeft;
  for (const Key& key : keys) {
    std::fprintf(out,
                 "<rect x=\"%d\" y=\"%d\" width=\"16\" height=\"12\" %s/>"
                 "<text x=\"%d\" y=\"%d\">%s</text>\n",
                 x, top + 14, key.attributes, x + 22, top + 24, key.text);
    x += 22 + int32_t(std::strlen(key.text) * kCharWidth) + 30;
  }
  std::fprintf(out, "</g>\n");
}

void PutHead(const EditTable& t, FILE* out, int32_t height) {
  std::fprintf(
      out,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
      "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"11\">\n"
      "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" "
      "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
      "<rect width=\"6\" height=\"6\" fill=\"#ffffff\" fill-opacity=\"0.55\"/>"
      "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#222\" stroke-width=\"2\"/>"
      "</pattern></defs>\n<style>\n"
      ".lane0{fill:#f7f7f7}.lane1{fill:#eeeeee}.lane-name{text-anchor:end;fill:#333}\n"
      ".tick{stroke:#bbb;stroke-width:1}.tick-label{text-anchor:middle;fill:#555}\n"
      ".edit rect{stroke:#222;stroke-width:0.5}.edit-label{fill:#fff}\n"
      ".crossfade{fill:#222;fill-opacity:0.45}.silence{fill:#999;fill-opacity:0.25}\n"
      ".channel{fill:#f3f3f3}.envelope path{stroke:%s;stroke-width:1}.envelope-key{fill:%s}\n"
      ".title{font-size:14px;font-weight:bold}\n</style>\n"
      "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n<text x=\"%d\" y=\"20\" "
      "class=\"title\">",
      kWidth, height, kWidth, height, kEnvelopeColour, kEnvelopeColour, kWidth, height, kLeft);
  PutText(out, t.destination_path);
  std::fprintf(out, ": %d edits, %s, %d Hz, %d-bit%s, %d channel%s</text>\n", t.entry_count,
               PlainTime(t, t.total_frames).text, t.out_rate, t.out_bits,
               DestinationSamples(t).encoding == kEncodingFloat ? " float" : "", t.out_channels,
               t.out_channels == 1 ? "" : "s");
}

}  // namespace

bool DrawTimeline(const EditTable& t, const PlanLayout& layout, const char* built, FILE* out) {
  const int32_t lanes = AssignLanes(t);
  const int32_t lanes_top = kTitleHeight + kRulerHeight;
  const int32_t lanes_bottom = lanes_top + lanes * kLaneHeight;
  const int32_t envelope_top = lanes_bottom + kGap;
  const int32_t envelope_height = built != nullptr ? t.out_channels * kChannelHeight : 0;
  const int32_t legend_top = envelope_top + envelope_height + kGap;
  if (built != nullptr) ReadEnvelope(t, built);
  PutHead(t, out, legend_top + kLegendHeight);
  PutLanes(t, lanes, out, lanes_top);
  PutRuler(t, out, kTitleHeight, lanes_bottom);
  PutSilence(t, layout, out, lanes_top, lanes_bottom - lanes_top);
  for (int32_t k = 0; k < t.entry_count; ++k) PutEdit(t, t.write_order[k], out, lanes_top);
  PutOverwrites(t, layout, out, lanes_top);
  PutCrossfades(t, layout, out, lanes_top);
  if (built != nullptr) PutEnvelope(t, out, envelope_top);
  PutLegend(out, legend_top);
  std::fprintf(out, "</svg>\n");
  return std::ferror(out) == 0;
}
