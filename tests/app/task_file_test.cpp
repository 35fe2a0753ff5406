// Task-file parsing, checked on the filled table, and the parser's refusals,
// checked on the real binary.
#include "app/task_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support/destination_model.h"
#include "support/run_binary.h"
#include "support/snapshot.h"
#include "support/in_process.h"
#include "support/report.h"
#include "support/wav_fixture.h"

namespace {

using fixture::RunTask;
using fixture::TempDir;

// Parses `text` as a task file into a table holding every default.
fixture::Parsed Parse(const std::string& text) {
  TempDir dir;
  return fixture::ParseTask(dir.path, text);
}

TEST(TaskFile, WorkedExampleParsesToItsValues) {
  const fixture::Parsed p = Parse(
      "using_samples\ndest\tout.wav\nsrc\tintro.wav\nxout\t441000\nsrc\ttake2.wav\n"
      "xin\t44100\nlvl\t-3.1\nxf\t200\t1\nsrc\tbed.wav\nins\t0\n");
  const EditTable& t = *p.table;
  EXPECT_EQ(p.output, "Reading time values as samples.\n");
  EXPECT_EQ(t.time_unit, kFrames);
  EXPECT_EQ(t.entry_count, 3);
  EXPECT_STREQ(t.destination_path, "out.wav");
  EXPECT_STREQ(t.source_path[0], "intro.wav");
  EXPECT_EQ(t.xin[0], 0.0);
  EXPECT_EQ(t.xout[0], 441000.0);
  EXPECT_EQ(t.append[0], 1);
  EXPECT_STREQ(t.source_path[1], "take2.wav");
  EXPECT_EQ(t.xin[1], 44100.0);
  EXPECT_EQ(t.xout[1], 0.0);
  EXPECT_EQ(t.level_db[1], -3.0999999046325684);
  EXPECT_EQ(t.width_ms[1], 200.0f);
  EXPECT_EQ(t.xf_type[1], 1);
  EXPECT_EQ(t.append[1], 1);
  EXPECT_STREQ(t.source_path[2], "bed.wav");
  EXPECT_EQ(t.ins[2], 0.0);
  EXPECT_EQ(t.append[2], 0);
  EXPECT_EQ(t.level_db[2], 0.0);
  EXPECT_EQ(t.width_ms[2], 100.0f);
  EXPECT_EQ(t.xf_type[2], 0);
  EXPECT_EQ(t.append[3], 1);  // unused slots keep their defaults
}

TEST(TaskFile, UsingSamplesCountsOnlyAsFirstToken) {
  EXPECT_EQ(Parse("\n\n\tusing_samples\nsrc\ta.wav\n").table->time_unit, kFrames);
  EXPECT_EQ(Parse("src\ta.wav\nusing_samples\n").table->time_unit, kSeconds);
  EXPECT_EQ(Parse("using_samples\r\nsrc\ta.wav\r\n").table->time_unit, kSeconds);
}

TEST(TaskFile, CarriageReturnsStayInTokens) {
  const fixture::Parsed p = Parse("dest\tout.wav\r\nsrc\ta.wav\r\nxin\t1.5\r\nins\tapp\r\n");
  const EditTable& t = *p.table;
  EXPECT_STREQ(t.destination_path, "out.wav\r");
  EXPECT_STREQ(t.source_path[0], "a.wav\r");
  EXPECT_EQ(t.xin[0], 1.5);
  EXPECT_EQ(t.ins[0], 0.0);  // "app\r" is a number token, not "app"
  EXPECT_EQ(t.append[0], 0);
}

TEST(TaskFile, TokensFollowTabsAndLineFeedsOnly) {
  // Values on their own lines, pairs sharing a line, and spaces inside one
  // token.
  const fixture::Parsed p =
      Parse("src\nmy take.wav\txin\t2\tins\n7\nsrc\tb.wav\nxf    200     1\n");
  const EditTable& t = *p.table;
  EXPECT_EQ(t.entry_count, 2);
  EXPECT_STREQ(t.source_path[0], "my take.wav");
  EXPECT_EQ(t.xin[0], 2.0);
  EXPECT_EQ(t.ins[0], 7.0);
  EXPECT_EQ(t.append[0], 0);
  EXPECT_EQ(Parse("").table->entry_count, 0);
  EXPECT_EQ(Parse("\n\t\n").table->entry_count, 0);
  EXPECT_EQ(Parse("src\ta.wav\nxf    200     1\n").table->xf_type[0], 0);
}

// A keyword where a value is due is read as a keyword, whether it comes
// later among the keyword tests or earlier, and the value counts as missing:
// the field keeps what it had.
TEST(TaskFile, KeywordsAreNeverValues) {
  const fixture::Parsed later = Parse("src\ta.wav\nxin\t2\nxin\ttrim\t5\n");
  EXPECT_EQ(later.table->xin[0], 2.0);
  EXPECT_EQ(later.table->trim[0], 5.0);
  const fixture::Parsed earlier = Parse("src\ta.wav\ntrim\txin\t3\n");
  EXPECT_EQ(earlier.table->trim[0], 0.0);
  EXPECT_EQ(earlier.table->xin[0], 3.0);
  const fixture::Parsed itself = Parse("src\ta.wav\nxin\txin\t0.0005\n");
  EXPECT_EQ(itself.table->xin[0], 0.0005);
  const fixture::Parsed app = Parse("src\ta.wav\nins\tapp\nsrc\tb.wav\nins\tsrc\tc.wav\n");
  EXPECT_EQ(app.table->entry_count, 3);
  EXPECT_EQ(app.table->append[1], 1);
}

// In seconds a time may be a timecode, read as the seconds it spells; in
// frames, and where it breaks the rules, it is a number read in part.
TEST(TaskFile, TimecodesReadAsSeconds) {
  struct Case { const char* token; double seconds, frames; };
  const Case cases[] = {
      {"0:30", 30.0, 0.0},          {"1:02:03.5", 3723.5, 1.0},  {"-0:01.25", -1.25, -0.0},
      {"90:00", 5400.0, 90.0},      {"0:30.1", 30.1, 0.0},       {"1:60", 1.0, 1.0},
      {"1:60:00", 1.0, 1.0},        {"1:2:3:4", 1.0, 1.0},       {"0:30s", 0.0, 0.0},
      {"12", 12.0, 12.0},           {"0:30\r", 30.0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(Parse(std::string("src\ta.wav\nxin\t") + c.token + "\n").table->xin[0], c.seconds);
    EXPECT_EQ(
        Parse(std::string("using_samples\nsrc\ta.wav\nxin\t") + c.token + "\n").table->xin[0],
        c.frames);
  }
  EXPECT_EQ(Parse("src\ta.wav\nlvl\t0:30\n").table->level_db[0], 0.0);  // no time
}

TEST(TaskFile, LastOccurrenceWins) {
  const fixture::Parsed p = Parse(
      "dest\tfirst.wav\nsrc\ta.wav\nxin\t1\nxin\t2\nlvl\t-3\ndest\tsecond.wav\nlvl\t-4\nlvl\t30\n"
      "ins\t5\nins\tapp\n");
  const EditTable& t = *p.table;
  EXPECT_STREQ(t.destination_path, "second.wav");
  EXPECT_EQ(t.xin[0], 2.0);
  EXPECT_EQ(t.level_db[0], -4.0);  // dest does not close the entry; 30 is ignored
  EXPECT_EQ(t.ins[0], 5.0);        // "app" keeps the number but appends
  EXPECT_EQ(t.append[0], 1);
}

TEST(TaskFile, NumbersReadTheirLeadingPrefix) {
  const fixture::Parsed p = Parse("src\ta.wav\nxin\t1.5s\nxout\tabc\ntrim\t0x10\nins\t  2e1\n");
  const EditTable& t = *p.table;
  EXPECT_EQ(t.xin[0], 1.5);
  EXPECT_EQ(t.xout[0], 0.0);
  EXPECT_EQ(t.trim[0], 16.0);
  EXPECT_EQ(t.ins[0], 20.0);
}

TEST(TaskFile, LevelIsRoundedToFloatAndKeptBelowTheCeiling) {
  struct Case { const char* token; double level; };
  const Case cases[] = {
      {"23.9", 23.899999618530273}, {"24", -1.0},      {"23.99999999", -1.0},
      {"-200", -200.0},             {"abc", 0.0},      {"nan", -1.0},
      {"1e300", -1.0},              {"-1e300", -INFINITY}, {"-3.1", -3.0999999046325684},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    const fixture::Parsed p = Parse(std::string("src\ta.wav\nlvl\t-1\nlvl\t") + c.token + "\n");
    EXPECT_EQ(p.table->level_db[0], c.level);
    EXPECT_EQ(p.output, "");
  }
}

TEST(TaskFile, CrossfadeWidthAndType) {
  struct Case { const char* values; float width; int32_t type; bool invalid; };
  const Case cases[] = {
      {"200\t1", 200.0f, 1, false},  {"200\t0", 200.0f, 0, false},
      {"200\t5", 200.0f, 0, true},   {"200\t-1", 200.0f, 0, true},
      {"200\tabc", 200.0f, 0, false}, {"33.3\t1.5", 33.3f, 1, false},
      {"-5\t4", -5.0f, 4, false},    {"7\t99999999999", 7.0f, 0, true},
      {"10\t4294967297", 10.0f, 0, true},  // not cut to 32 bits, where it would be type 1
      {"nan\t2", NAN, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.values);
    const fixture::Parsed p = Parse(std::string("src\ta.wav\nxf\t") + c.values + "\n");
    if (std::isnan(c.width)) {
      EXPECT_TRUE(std::isnan(p.table->width_ms[0]));
    } else {
      EXPECT_EQ(p.table->width_ms[0], c.width);
    }
    EXPECT_EQ(p.table->xf_type[0], c.type);
    EXPECT_EQ(p.output, c.invalid ? "Crossfade-type (parameter 2) is invalid\n" : "");
  }
}

TEST(TaskFile, CrossfadeWithOnlyAWidthKeepsItsType) {
  const fixture::Parsed p = Parse("src\ta.wav\nxf\t10\t2\nxf\t300\nsrc\tb.wav\n");
  EXPECT_EQ(p.table->entry_count, 2);
  EXPECT_EQ(p.table->width_ms[0], 300.0f);
  EXPECT_EQ(p.table->xf_type[0], 2);
  // At the end of the text a missing type or value leaves the fields alone.
  const fixture::Parsed end = Parse("src\ta.wav\nxf\t2\t3\nxf\t250");
  EXPECT_EQ(end.table->width_ms[0], 250.0f);
  EXPECT_EQ(end.table->xf_type[0], 3);
  EXPECT_EQ(Parse("src\ta.wav\nxin\t4\nxin").table->xin[0], 4.0);
}

// Refusals of the command line and the parser, run on the binary.
// The line `text` on standard error: a warning about line `line` of task.txt.
std::string Warn(int line, const std::string& text) {
  return "task.txt:" + std::to_string(line) + ": warning: " + text + "\n";
}

// The warning for a token skipped as the value of the unread `keyword` before it.
std::string SkippedToo(int line, const std::string& token, const std::string& keyword) {
  return Warn(line, "\"" + token + "\" is skipped too: it follows \"" + keyword +
                        "\", which is not read as a keyword");
}

// The warning for "lvl -6" on `line`.
std::string NeedsTab(int line) {
  return Warn(line, "\"lvl -6\" is skipped: a keyword and its value need a tab between them, "
                    "not spaces: write lvl, a tab and the value");
}

// The whole report of a run in seconds that builds out.wav from one edit of
// a.wav, after `before` (the parser's own messages).
std::string OneEditRun(const char* start, const char* length, const char* level,
                       const std::string& before = "") {
  return fixture::Report()
      .Line(before)
      .Read(1)
      .Task(1, "0.000", "a.wav", start, length, level)
      .Built("out.wav", length, 16, 1, 8000);
}

// `text` with its first `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

// Task files refused by the parser, and mistakes people make in task files,
// run on the binary in a directory that holds a.wav and b.wav (8000 Hz 16-bit
// mono, 800 frames; a.wav quiet but for 37 samples, at every third frame from
// frame 0 on, that doubling clips, as 16-bit values from +-16384 on do). Standard output and the status are the report and the
// outcome the task always had, and a refused task creates nothing. Where the
// row gives it, standard error holds exactly its explanations, each on the
// line of the mistake. A check of the task first ends as the run does,
// having planned what it builds, and changes nothing.
TEST(BinaryTaskFile, RefuseOrBuildAsAlwaysAndExplainEachMistake) {
  const std::string long_name(128, 'n');
  const std::string srcs512 = [] {
    std::string s = "dest\tout.wav\n";
    for (int i = 0; i < 513; ++i) s += "src\ta.wav\n";
    return s;
  }();
  const std::string kWhole = OneEditRun("0.000", "0.100", "0.000");
  const std::string kTwoEdits = fixture::Report()
                                    .Read(2)
                                    .Task(1, "0.000", "a.wav", "0.000", "0.100", "0.000")
                                    .Task(2, "0.100", "b.wav", "0.000", "0.100", "0.000")
                                    .Built("out.wav", "0.200", 16, 1, 8000);
  const std::string kUnread = fixture::Report().Read(1);
  const std::string kNoEntries = fixture::Report().Read(0).Line("No source tracks in task file\n");
  const std::string kHead = "dest\tout.wav\nsrc\ta.wav\n";
  struct Case {
    const char* name;
    std::string text;
    std::string output;
    int status;
    std::optional<std::string> errors = std::nullopt;
  };
  const Case cases[] = {
      {"no entries", "dest\tout.wav\n", kNoEntries, 1},
      {"empty file", "", kNoEntries, 1},
      {"no dest", "src\ta.wav\nxf\t1\t9\n",
       fixture::Report()
           .Line("Crossfade-type (parameter 2) is invalid\n")
           .Read(1)
           .Line("No destination file given: add a dest line\n"), 1},
      {"xin first", "xin\t3\nsrc\ta.wav\n", "Command xin comes before the first src line\n", 1,
       "task.txt:1: error: xin comes before the first src, so it belongs to no edit: move it below "
       "the src line of its edit\n"},
      {"lvl last", "dest\tout.wav\nlvl", "Command lvl comes before the first src line\n", 1},
      {"xf first", "xf\t10\t1\n", "Command xf comes before the first src line\n", 1},
      {"short src", "src\tab\n", "Source track 1 appears to be too short or missing", 1,
       "task.txt:1: error: src takes \"ab\" as its path, which is shorter than 4 characters: write "
       "src, a tab and the path\n"},
      {"empty src", "src\ta.wav\nsrc\nxin\t1\n", "Source track 2 appears to be too short or missing", 1},
      {"src last", "src", "Source track 1 appears to be too short or missing", 1},
      {"long src", "src\t" + long_name + "\n", "Source track 1 name is too long: at most 127 characters\n", 1},
      {"short dest", "dest\tab\n", "Your destination name appears to be too short or missing\n", 1},
      {"long dest", "dest\t" + long_name + "\n", "Your destination name is too long: at most 127 characters\n", 1},
      {"513 sources", srcs512, "Too many source tracks: at most 512\n", 1},
      // Mistakes, explained on standard error alone.
      {"spaces after a keyword", kHead + "lvl -6\n", kWhole, 0, NeedsTab(3)},
      {"a keyword in capitals", kHead + "\nSRC\tb.wav\nxout\t0.05\n",
       OneEditRun("0.000", "0.050", "0.000"), 0,
       Warn(4, "\"SRC\" is skipped: keywords are lower case: write src") +
           SkippedToo(4, "b.wav", "SRC")},
      {"xf without a type before src", kHead + "xf\t10\nsrc\tb.wav\n", kTwoEdits, 0,
       Warn(3, "xf has no type: the next token, src on line 4, is a keyword and is read as one: "
               "give xf its type after a tab")},
      {"CR LF line ends", "dest\tout.wav\r\nsrc\ta.wav\r\n",
       kUnread + "Cannot find file in track list called a.wav\r!!\n", 2,
       Warn(1, "lines end in a carriage return and a line feed (Windows), and the carriage return "
               "stays part of each line's last value, as in \"out.wav\\r\": save the file with "
               "line feeds (LF) alone") +
           "task.txt:2: error: task 1 (\"a.wav\\r\"): the source cannot be opened: there is no "
           "such file (a source's path starts from the working directory, \"DIR\"): did you mean "
           "\"a.wav\"?\n"},
      {"a carriage return ending the file", "dest\tout.wav\nsrc\ta.wav\r",
       kUnread + "Cannot find file in track list called a.wav\r!!\n", 2,
       Warn(2, "lines end in a carriage return and a line feed (Windows), and the carriage return "
               "stays part of each line's last value, as in \"a.wav\\r\": save the file with "
               "line feeds (LF) alone") +
           "task.txt:2: error: task 1 (\"a.wav\\r\"): the source cannot be opened: there is no "
           "such file (a source's path starts from the working directory, \"DIR\"): did you mean "
           "\"a.wav\"?\n"},
      {"a carriage return after a number", kHead + "xin\t0.05\r\n",
       OneEditRun("0.050", "0.050", "0.000"), 0,
       Warn(3, "lines end in a carriage return and a line feed (Windows), and the carriage return "
               "stays part of each line's last value, as in \"0.05\\r\": save the file with "
               "line feeds (LF) alone")},
      {"a keyword given itself as its value", kHead + "xin\txin\t0.0005\n",
       OneEditRun("0.001", "0.100", "0.000"), 0,
       Warn(3, "xin has no value: the next token, xin on line 3, is a keyword and is read as one: "
               "give xin its value after a tab")},
      {"a byte-order mark", "\xEF\xBB\xBF" + kHead,
       kUnread + "No destination file given: add a dest line\n", 1,
       Warn(1, "the file starts with a UTF-8 byte-order mark, so its first token \"dest\" is not "
               "recognised: save the file as UTF-8 without a byte-order mark") +
           SkippedToo(1, "out.wav", "\xEF\xBB\xBF" "dest")},
      {"UTF-16 text", std::string("\xFF\xFE" "d\0e\0s\0t\0", 10),
       "Task file task.txt holds a zero byte at line 1\n", 1,
       "task.txt:1: error: the file is UTF-16 text, in which no keyword can be read: save it as "
       "UTF-8 without a byte-order mark\n"},
      {"a decimal comma, and a time past the end as a timecode",
       kHead + "xin\t0,8\nxout\t00:01:30.5\n", kWhole, 0,
       Warn(3, "xin value \"0,8\" is read as 0 and \",8\" is ignored: write decimals with a "
               "point") +
           Warn(2, "task 1 (\"a.wav\"): the read asks to stop at 90.500 s (724000 frames), past "
                   "the end of the source, which is 0.100 s (800 frames) long, so it stops there")},
      {"a timecode with 75 seconds", kHead + "xout\t0:75\n", kWhole, 0,
       Warn(3, "xout value \"0:75\" is read as 0 and \":75\" is ignored: write a time as "
               "seconds, or as m:s or h:m:s with minutes and seconds below 60")},
      {"a timecode in frames", "using_samples\n" + kHead + "xout\t1:00\n",
       fixture::Report(true)
           .Read(1)
           .Task(1, "0", "a.wav", "0", "1", "0.000")
           .Built("out.wav", "1", 16, 1, 8000), 0,
       Warn(4, "xout value \"1:00\" is read as 1 and \":00\" is ignored: write a time as one "
               "number of frames after using_samples")},
      {"numbers that are not decimal", kHead + "xin\t0x0.1p-4\nlvl\t-inf\n",
       OneEditRun("0.004", "0.096", "-inf"), 0,
       Warn(3, "xin value \"0x0.1p-4\" is hexadecimal and is read as 0.00390625: write a decimal "
               "number") +
           Warn(4, "lvl value \"-inf\" is no decimal number and is read as -inf: write a decimal "
                   "number")},
      {"a unit after a number", kHead + "xin\t0.05s\n", OneEditRun("0.050", "0.050", "0.000"), 0,
       Warn(3, "xin value \"0.05s\" is read as 0.05 and \"s\" is ignored: write the number alone")},
      {"a level of 24 dB or more", kHead + "lvl\t-2\nlvl\t30\n",
       OneEditRun("0.000", "0.100", "-2.000"), 0,
       Warn(4, "lvl \"30\" is ignored, as levels must be below 24 dB, and the edit keeps -2 dB: "
               "write a level below 24")},
      {"a level that is not a number", kHead + "lvl\tnan\n", kWhole, 0,
       Warn(3, "lvl \"nan\" is ignored, as it is not a number, and the edit keeps 0 dB: write a "
               "level below 24")},
      {"using_samples after the first token", kHead + "using_samples\n", kWhole, 0,
       Warn(3, "using_samples counts only as the first token of the file, so it is skipped here "
               "and times stay in seconds: move it to the first line")},
      {"a value keyword ending the file", kHead + "xin", kWhole, 0,
       Warn(3, "xin ends the file without its value, so it is ignored: give xin its value after "
               "a tab")},
      {"a crossfade type outside 0 to 4", kHead + "\n\nxf\t10\t7\n",
       OneEditRun("0.000", "0.100", "0.000", "Crossfade-type (parameter 2) is invalid\n"), 0,
       Warn(5, "xf type \"7\" is outside 0 to 4, so this edit gets no crossfade: write a type "
               "from 1 to 4, or 0 for none")},
      {"a later keyword as a value", kHead + "xin\ntrim\t0.5\n", kWhole, 0,
       Warn(3, "xin has no value: the next token, trim on line 4, is a keyword and is read as "
               "one: give xin its value after a tab") +
           Warn(2, "task 1 (\"a.wav\"): trim 0.5 counts whole seconds only, so it moves the "
                   "stop by 0.000 s (0 frames), not by 0.5 s: give the stop as xout instead")},
      {"an earlier keyword as a value", kHead + "trim\txin\t0.05\n",
       OneEditRun("0.050", "0.050", "0.000"), 0,
       Warn(3, "trim has no value: the next token, xin on line 3, is a keyword and is read as "
               "one: give trim its value after a tab")},
      {"a keyword where a source path is due", "dest\tout.wav\nsrc\ttrim\t1\n",
       "Source track 1 appears to be too short or missing", 1,
       "task.txt:2: error: src has no path: the next token, trim on line 2, is a keyword: write "
       "src, a tab and the path\n"},
      {"a keyword where the destination is due", "dest\nsrc\ta.wav\n",
       "Your destination name appears to be too short or missing\n", 1,
       "task.txt:1: error: dest has no path: the next token, src on line 2, is a keyword: write "
       "dest, a tab and the path\n"},
      {"a zero byte", "dest\tfirst.wav\nsrc\ta.wav\n" + std::string(1, '\0') + "dest\tsecond.wav\n",
       "Task file task.txt holds a zero byte at line 3\n", 1,
       "task.txt:3: error: a zero byte, which no plain text holds: save the file as plain text\n"},
      {"a level that clips samples", kHead + "lvl\t6.0206\n", OneEditRun("0.000", "0.100", "6.021"),
       0, "splyce: warning: task 1 (\"a.wav\"): 37 samples went past full scale at lvl 6.021 dB "
          "and were clipped: lower the level\n"},
      {"a level that clips one sample", kHead + "xin\t0.0133\nlvl\t6.0206\n",
       OneEditRun("0.013", "0.087", "6.021"), 0,
       "splyce: warning: task 1 (\"a.wav\"): 1 sample went past full scale at lvl 6.021 dB "
       "and was clipped: lower the level\n"},
      {"a crossfade whose source window starts past the source's end",
       kHead + "xin\t0.2\nxout\t0.3\nins\t0.05\nxf\t100\t1\n",
       fixture::Report()
           .Read(1)
           .Task(1, "0.050", "a.wav", "0.200", "-0.100", "0.000",
                 "Invalid crossfade for source file\nCould not generate crossfade\n")
           .Built("out.wav", "0.000", 16, 1, 8000), 0},
      {"a crossfade of an edit that copies nothing, past the destination's end",
       kHead + "xin\t0.2\nxout\t0.3\nins\t0.5\nxf\t100\t1\n",
       fixture::Report()
           .Read(1)
           .Task(1, "0.500", "a.wav", "0.200", "-0.100", "0.000",
                 "Invalid crossfade for destination file\nCould not generate crossfade\n")
           .Built("out.wav", "0.400", 16, 1, 8000), 0},
      {"a format line that matches the source", kHead + "format\t8000\t16\t1\n", kWhole, 0, ""},
      {"a format line that converts the source", "format\t8000\t16\t2\n" + kHead + "xout\t0:00.1\n",
       Replaced(kWhole, "Channels 1", "Channels 2"), 0,
       "task.txt:3: note: task 1 (\"a.wav\") is converted from 8000 Hz 16-bit integer, 1 channel "
       "to 8000 Hz 16-bit integer, 2 channels\n"},
      {"a format of 12 bits", kHead + "format\t48000\t12\t2\n",
       "Destination format set incorrectly: 12\n", 1,
       "task.txt:3: error: format takes \"12\" as its sample format, which must be 16, 24, 32, "
       "32f or 64f: write format, a tab, the rate in Hz, a tab, 16, 24, 32, 32f or 64f, a tab and "
       "1 to 32 channels\n"},
      {"a format rate of 0 Hz", kHead + "format\t0\t16\t1\n", "Destination format set incorrectly: 0\n", 1},
      {"a format rate with a unit", kHead + "format\t48kHz\t16\t1\n",
       "Destination format set incorrectly: 48kHz\n", 1},
      {"a format of 33 channels", kHead + "format\t48000\t32f\t33\n",
       "Destination format set incorrectly: 33\n", 1},
      {"a format line cut short by a keyword", "format\t48000\t24\n" + kHead,
       "Destination format set incorrectly: dest\n", 1,
       "task.txt:1: error: format has no channel count: the next token, dest on line 2, is a "
       "keyword: write format, a tab, the rate in Hz, a tab, 16, 24, 32, 32f or 64f, a tab and "
       "1 to 32 channels\n"},
      {"a format line ending the file", kHead + "format\t48000", "Destination format set incorrectly: \n",
       1, "task.txt:3: error: format has no sample format, as the file ends: write format, a tab, the "
       "rate in Hz, a tab, 16, 24, 32, 32f or 64f, a tab and 1 to 32 channels\n"},
      {"one mistake repeated", kHead + "lvl -6\nlvl -6\nlvl -6\nlvl -6\nlvl -6\nlvl -6\nlvl -6\n",
       kWhole, 0, NeedsTab(3) + NeedsTab(4) + NeedsTab(5) + NeedsTab(6) + NeedsTab(7) +
       "splyce: warning: 2 more warnings of the kind \"unrecognised token\" were not shown\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<int32_t> quiet(800, 1000);
    for (size_t k = 0; k < 37; ++k) quiet[k * 3] = k % 2 == 0 ? 20000 : -20000;
    fixture::WriteWav(dir.Path("a.wav"), {8000, 16, 1}, quiet);
    fixture::WriteNoise(dir.Path("b.wav"), {8000, 16, 1}, 800, 2);
    fixture::WriteFile(dir.Path("task.txt"), fixture::Text(c.text));
    const fixture::Snapshot before = fixture::Take(dir.path);
    const fixture::RunResult checked = fixture::RunSplyceIn(dir.path, {"--check", "task.txt"});
    EXPECT_TRUE(fixture::Take(dir.path) == before) << "--check changed the folder";
    EXPECT_EQ(checked.output, c.status == 0 ? fixture::PlannedReport(c.output) : c.output);
    EXPECT_EQ(checked.status, c.status);
    const fixture::RunResult r = RunTask(dir, c.text);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(fixture::FileExists(dir.Path("out.wav")), c.status == 0);
    if (c.errors) {
      EXPECT_EQ(fixture::WithDirNamed(r.errors, dir), *c.errors);
    }
  }
}

TEST(BinaryTaskFileRefusals, TaskFileThatCannotBeRead) {
  TempDir dir;
  const auto run = [&](const std::vector<std::string>& args) {
    return fixture::RunSplyceIn(dir.path, args);
  };
  fixture::RunResult r = run({});
  EXPECT_EQ(r.output, "Cannot find file task.txt that holds your instructions\n");
  EXPECT_EQ(r.status, 1);
  r = run({"Help", "more", "args"});  // three task files, each refused in turn
  EXPECT_EQ(r.output, "Cannot find file Help that holds your instructions\n"
                      "Cannot find file more that holds your instructions\n"
                      "Cannot find file args that holds your instructions\n");
  EXPECT_EQ(r.status, 1);
  r = run({std::string(128, 't')});
  EXPECT_EQ(r.output, "Task file name is too long: at most 127 characters\n");
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(mkdir(dir.Path("adir").c_str(), 0755), 0);
  r = run({"adir"});
  EXPECT_EQ(r.output, "Cannot read file adir that holds your instructions\n");
  EXPECT_EQ(r.status, 1);
  fixture::WriteFile(dir.Path("big.txt"), fixture::Bytes(65537, '\n'));
  r = run({"big.txt"});
  EXPECT_EQ(r.output, "Task file big.txt is larger than 65536 bytes\n");
  EXPECT_EQ(r.status, 1);
  fixture::WriteFile(dir.Path("full.txt"), fixture::Bytes(65536, '\n'));
  r = run({"full.txt"});
  EXPECT_EQ(r.output, fixture::Report().Read(0).Line("No source tracks in task file\n").Text());
}

}  // namespace
