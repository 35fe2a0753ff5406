#include "app/plan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "app/splice.h"

namespace {

constexpr int32_t kBits16 = 16;
constexpr int32_t kBits24 = 24;
constexpr int32_t kBits64 = 64;
// Digits that give back any double, and fewer that give back most.
constexpr int kRoundTripDigits = 17;
constexpr int kShortDigits = 15;
// Digits that give back any float (levels are held to float precision).
constexpr int kFloatDigits = 9;
// The first byte value that is no control character in JSON.
constexpr unsigned char kFirstPlain = 0x20;
// Well-formed UTF-8: the lead bytes of each length and the range of the
// byte after each (which keeps out overlong forms and surrogates), the
// later bytes all continuation bytes.
constexpr unsigned char kFirstMultibyte = 0x80;
constexpr unsigned char kContinuationMask = 0xC0;
constexpr unsigned char kContinuation = 0x80;
struct Utf8Lead {
  unsigned char first, last;
  int32_t length;
  unsigned char second_low, second_high;
};
constexpr Utf8Lead kUtf8Leads[] = {{0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
                                   {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F},
                                   {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
                                   {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};

// The spans shown after an edit is laid, made beside the ones before it;
// and the spans a layout's silence is worked out from.
FrameSpan g_laid[kMaxSpans];
FrameSpan g_covered[kMaxSpans + kMaxEntries];

// Lays frames [first, end) of entry e over the shown spans, and records the
// spans of other entries it covers at `*overwrites` on.
void Lay(PlanLayout* layout, int64_t first, int64_t end, int32_t e, int32_t* overwrites) {
  const FrameSpan edit = {first, end, e};
  int32_t n = 0;
  bool placed = false;
  for (int32_t i = 0; i < layout->shown_count; ++i) {
    const FrameSpan s = layout->shown[i];
    if (s.end <= first) {  // wholly before
      g_laid[n++] = s;
    } else if (s.first >= end) {  // wholly after
      if (!placed) g_laid[n++] = edit;
      placed = true;
      g_laid[n++] = s;
    } else {
      layout->overwrites[(*overwrites)++] = {std::max(s.first, first), std::min(s.end, end),
                                             s.entry};
      if (s.first < first) g_laid[n++] = {s.first, first, s.entry};
      if (!placed) g_laid[n++] = edit;
      placed = true;
      if (s.end > end) g_laid[n++] = {end, s.end, s.entry};
    }
  }
  if (!placed) g_laid[n++] = edit;
  std::copy(g_laid, g_laid + n, layout->shown);
  layout->shown_count = n;
}

// Marks which crossfades will be laid, and the frames their clips cover.
void LayOutCrossfades(const EditTable& t, PlanLayout* layout) {
  for (int32_t e = 0; e < t.entry_count; ++e) {
    layout->laid[e] = CrossfadeWillBeLaid(t, e);
    const int64_t first = int64_t(t.insert_frame[e]) - t.width_frames[e] / 2;
    const int64_t end = std::min<int64_t>(first + t.width_frames[e], t.total_frames);
    layout->clip[e] = layout->laid[e] ? FrameSpan{first, end, e} : FrameSpan{0, 0, e};
  }
}

// Finds the frames that no edit and no laid clip covers.
void LayOutSilence(const EditTable& t, PlanLayout* layout) {
  int32_t n = 0;
  for (int32_t i = 0; i < layout->shown_count; ++i) g_covered[n++] = layout->shown[i];
  for (int32_t e = 0; e < t.entry_count; ++e) {
    if (layout->laid[e]) g_covered[n++] = layout->clip[e];
  }
  std::sort(g_covered, g_covered + n,
            [](const FrameSpan& a, const FrameSpan& b) { return a.first < b.first; });
  int64_t covered_to = 0;
  layout->silence_count = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (g_covered[i].first > covered_to) {
      layout->silence[layout->silence_count++] = {covered_to, g_covered[i].first, -1};
    }
    covered_to = std::max(covered_to, g_covered[i].end);
  }
  if (covered_to < t.total_frames) {
    layout->silence[layout->silence_count++] = {covered_to, t.total_frames, -1};
  }
}

// Writes `value` as the shortest decimal of at least kShortDigits digits
// that reads back as it.
void PutNumber(FILE* out, double value) {
  char text[32];
  for (int digits = kShortDigits; digits <= kRoundTripDigits; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  std::fputs(text, out);
}

// Writes `text` as a JSON string: quotes, backslashes and control characters
// escaped, a byte that starts no UTF-8 sequence as the replacement
// character, the rest as it is.
void PutString(FILE* out, const char* text) {
  std::fputc('"', out);
  const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
  while (*c != '\0') {
    const int32_t length = Utf8Length(c);
    if (*c == '"' || *c == '\\') {
      std::fprintf(out, "\\%c", *c);
    } else if (length == 0) {
      std::fputs("\\ufffd", out);
    } else if (*c < kFirstPlain) {
      std::fprintf(out, "\\u%04x", *c);
    } else {
      std::fwrite(c, 1, size_t(length), out);
    }
    c += std::max(length, 1);
  }
  std::fputc('"', out);
}

// The destination's sample format as a format line names it.
const char* FormatName(const EditTable& t) {
  if (t.out_details.code == kEncodingFloat) return t.out_bits == kBits64 ? "64f" : "32f";
  return t.out_bits == kBits16 ? "16" : t.out_bits == kBits24 ? "24" : "32";
}

void PutDestination(const EditTable& t, FILE* out) {
  std::fputs("  \"destination\": {\"path\": ", out);
  PutString(out, t.destination_path);
  std::fprintf(out, ", \"rate\": %i, \"format\": \"%s\", \"valid_bits\": %i, \"channels\": %i, ",
               t.out_rate, FormatName(t), t.out_details.valid_bits, t.out_channels);
  std::fprintf(out, "\"frames\": %i, \"seconds\": ", t.total_frames);
  PutNumber(out, double(t.total_frames) / t.out_rate);
  std::fputs("},\n", out);
}

void PutCrossfade(const EditTable& t, const PlanLayout& layout, int32_t e, FILE* out) {
  if (t.xf_type[e] == 0) {
    std::fputs("null", out);
    return;
  }
  std::fprintf(out, "{\"type\": %i, \"width_frames\": %i, \"first_frame\": %lld, \"laid\": %s}",
               t.xf_type[e], t.width_frames[e],
               static_cast<long long>(int64_t(t.insert_frame[e]) - t.width_frames[e] / 2),
               layout.laid[e] ? "true" : "false");
}

void PutEdit(const EditTable& t, const PlanLayout& layout, int32_t k, FILE* out) {
  const int32_t e = t.write_order[k];
  std::fprintf(out, "    {\"task\": %i, \"line\": %i, \"source\": ", e + 1, t.source_line[e]);
  PutString(out, t.source_path[e]);
  std::fprintf(out,
               ", \"source_rate\": %i, \"converted\": %s, \"read_start\": %i, \"read_length\": %i, "
               "\"copy_length\": %i, \"insert_frame\": %i, \"insert_seconds\": ",
               t.sample_rate[e], t.converted[e] ? "true" : "false", t.read_start[e],
               t.read_length[e], t.copy_length[e], t.insert_frame[e]);
  PutNumber(out, double(t.insert_frame[e]) / t.out_rate);
  std::fprintf(out, ", \"run_on\": %i, \"level_db\": ", t.run_on[e]);
  if (std::isfinite(t.level_db[e])) {
    std::fprintf(out, "%.*g", kFloatDigits, t.level_db[e]);
  } else {
    std::fputs("null", out);
  }
  std::fputs(", \"crossfade\": ", out);
  PutCrossfade(t, layout, e, out);
  std::fputs(", \"overwrites\": [", out);
  for (int32_t i = layout.overwrites_from[k]; i < layout.overwrites_from[k + 1]; ++i) {
    const FrameSpan& s = layout.overwrites[i];
    std::fprintf(out, "%s[%i, %lld, %lld]", i > layout.overwrites_from[k] ? ", " : "", s.entry + 1,
                 static_cast<long long>(s.first), static_cast<long long>(s.end));
  }
  std::fprintf(out, "]}%s\n", k + 1 < t.entry_count ? "," : "");
}

}  // namespace

int32_t Utf8Length(const unsigned char* c) {
  if (*c < kFirstMultibyte) return 1;
  for (const Utf8Lead& lead : kUtf8Leads) {
    if (*c < lead.first || *c > lead.last) continue;
    if (c[1] < lead.second_low || c[1] > lead.second_high) return 0;
    for (int32_t k = 2; k < lead.length; ++k) {
      if ((c[k] & kContinuationMask) != kContinuation) return 0;
    }
    return lead.length;
  }
  return 0;
}

void LayOutPlan(const EditTable& t, PlanLayout* layout) {
  layout->shown_count = 0;
  int32_t overwrites = 0;
  for (int32_t k = 0; k < t.entry_count; ++k) {
    const int32_t e = t.write_order[k];
    layout->overwrites_from[k] = overwrites;
    const int64_t first = t.insert_frame[e];
    if (t.copy_length[e] > 0) Lay(layout, first, first + t.copy_length[e], e, &overwrites);
  }
  layout->overwrites_from[t.entry_count] = overwrites;
  LayOutCrossfades(t, layout);
  LayOutSilence(t, layout);
}

bool WritePlan(const EditTable& t, const PlanLayout& layout, FILE* out) {
  std::fprintf(out, "{\n  \"schema\": \"%s\",\n  \"task_file\": ", kPlanSchema);
  PutString(out, t.task_path);
  std::fprintf(out, ",\n  \"unit\": \"%s\",\n", t.time_unit == kFrames ? "frames" : "seconds");
  PutDestination(t, out);
  std::fputs("  \"edits\": [\n", out);
  for (int32_t k = 0; k < t.entry_count; ++k) PutEdit(t, layout, k, out);
  std::fputs("  ],\n  \"silence\": [", out);
  for (int32_t i = 0; i < layout.silence_count; ++i) {
    std::fprintf(out, "%s[%lld, %lld]", i > 0 ? ", " : "",
                 static_cast<long long>(layout.silence[i].first),
                 static_cast<long long>(layout.silence[i].end));
  }
  std::fputs("]\n}\n", out);
  return std::ferror(out) == 0;
}
