#include "base/diagnostics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

TEST(Diagnostics, QuotesTokensAsCWouldWriteThem) {
  const std::string kFortyEight(48, 'x');
  struct Case { std::string token, quoted; };
  const Case cases[] = {
      {"a.wav\r", "\"a.wav\\r\""},
      {"tab\tquote\"back\\slash", "\"tab\\tquote\\\"back\\\\slash\""},
      {"\x7F\x01 \xFF", "\"\\x7f\\x01 \xFF\""},  // DEL and controls escaped, high bytes kept
      {kFortyEight, "\"" + kFortyEight + "\""},
      {kFortyEight + "y", "\"" + kFortyEight + "...\""},
      {"", "\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quoted);
    EXPECT_EQ(QuoteBytes(c.token.data(), int32_t(c.token.size())).text, c.quoted);
  }
}

// Five lines of a kind are shown, the rest counted and reported once; every
// kind has what it is about to say in that count.
TEST(Diagnostics, ShowsFiveOfAKindThenCountsTheRest) {
  testing::internal::CaptureStderr();
  for (int k = 0; k < 7; ++k) Warn(kReadCut, "cut %d", k);
  WarnAtLine(kLevelIgnored, "t.txt", 9, "ignored");
  ReportHiddenDiagnostics();
  ReportHiddenDiagnostics();  // the counts start again from nothing
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "splyce: warning: cut 0\nsplyce: warning: cut 1\nsplyce: warning: cut 2\n"
            "splyce: warning: cut 3\nsplyce: warning: cut 4\nt.txt:9: warning: ignored\n"
            "splyce: warning: 2 more warnings of the kind \"read cut at the source's end\" were "
            "not shown\n");
}

// Every kind has a name of its own, from the one list of kinds.
TEST(Diagnostics, EveryKindHasItsOwnName) {
  std::set<std::string> names;
  for (int32_t kind = 0; kind < kDiagnosticKinds; ++kind) {
    const char* name = DiagnosticKindName(DiagnosticKind(kind));
    ASSERT_NE(name, nullptr) << kind;
    EXPECT_NE(std::string(name), "") << kind;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), size_t(kDiagnosticKinds));
}

}  // namespace
