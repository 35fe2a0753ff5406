// The plan before the build: --check, the JSON plan and the drawing.
#include "app/plan.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/destination_model.h"
#include "support/documents.h"
#include "support/report.h"
#include "support/run_binary.h"
#include "support/snapshot.h"
#include "support/wav_fixture.h"

namespace {

using fixture::Json;
using fixture::TempDir;

// Writes a.wav and b.wav, 1000 frames of 16-bit stereo at 8000 Hz.
void WriteSources(const TempDir& dir) {
  fixture::WriteNoise(dir.Path("a.wav"), {8000, 16, 2}, 1000, 3);
  fixture::WriteNoise(dir.Path("b.wav"), {8000, 16, 2}, 1000, 4);
}

std::string Text(const fixture::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Checks the plan of `task` (in frames) and returns it, read from standard
// output; the report goes to standard error.
Json PlanOf(const TempDir& dir, const std::string& task) {
  fixture::WriteFile(dir.Path("task.txt"), fixture::Text("using_samples\ndest\tout.wav\n" + task));
  const fixture::RunResult r = fixture::RunSplyceIn(dir.path, {"--check", "--plan", "-", "task.txt"});
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_NE(r.errors.find("\nPlanned\tout.wav\n"), std::string::npos);
  return fixture::ParseJson(r.output);
}

using Spans = std::vector<std::vector<long long>>;

Spans SpansOf(const Json& list) {
  Spans spans;
  for (const Json& span : list.items) {
    spans.emplace_back();
    for (const Json& n : span.items) spans.back().push_back(n.Integer());
  }
  return spans;
}

// What each edit overwrites of the edits before it, and where silence is
// left, on tasks made by hand; edits land on [ins, ins + xout - xin).
TEST(Plan, OverwritesAndSilenceAreExact) {
  struct Case {
    const char* name;
    std::string task;
    std::vector<int> order;          // tasks in write order
    std::vector<Spans> overwrites;   // of each, in write order
    Spans silence;
    std::vector<bool> laid = {};     // of each crossfade, in write order
  };
  const Case cases[] = {
      {"a later edit inside an earlier one", "src\ta.wav\nxout\t100\nsrc\tb.wav\nins\t20\nxout\t30\n",
       {1, 2}, {{}, {{1, 20, 50}}}, {}},
      {"three overlapping edits",
       "src\ta.wav\nxout\t100\nsrc\tb.wav\nins\t50\nxout\t100\nsrc\ta.wav\nins\t80\nxout\t100\n",
       {1, 2, 3}, {{}, {{1, 50, 100}}, {{2, 80, 150}}}, {}},
      {"an edit over two earlier ones",
       "src\ta.wav\nxout\t100\nsrc\tb.wav\nins\t40\nxout\t10\nsrc\ta.wav\nins\t45\nxout\t20\n",
       {1, 2, 3}, {{}, {{1, 40, 50}}, {{2, 45, 50}, {1, 50, 65}}}, {}},
      {"gaps", "src\ta.wav\nins\t50\nxout\t10\nsrc\tb.wav\nins\t10\nxout\t20\n", {2, 1}, {{}, {}},
       {{0, 10}, {30, 50}}},
      {"a chain written over an edit placed before it",
       "src\ta.wav\nins\t300\nxout\t100\nsrc\tb.wav\nxout\t50\nsrc\tb.wav\nins\t0\nxout\t500\n",
       {3, 1, 2}, {{}, {{3, 300, 400}}, {{3, 400, 450}}}, {}},
      {"a laid crossfade ends the silence before it",
       "src\ta.wav\nxout\t100\nsrc\tb.wav\nins\t200\nxout\t100\nxf\t10\t1\n", {1, 2}, {{}, {}},
       {{100, 160}}, {false, true}},
      {"a crossfade not laid leaves the silence", "src\ta.wav\nins\t30\nxout\t10\nxf\t10\t1\n",
       {1}, {{}}, {{0, 30}}, {false}},
      {"a clip that would start at frame 0 is not laid", "src\ta.wav\nins\t40\nxout\t10\nxf\t10\t1\n",
       {1}, {{}}, {{0, 40}}, {false}},
      {"an appended crossfade overwrites nothing",
       "src\ta.wav\nxout\t100\nsrc\tb.wav\nxout\t100\nxf\t10\t2\n", {1, 2}, {{}, {}}, {},
       {false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteSources(dir);
    const Json plan = PlanOf(dir, c.task);
    const Json& edits = plan["edits"];
    ASSERT_EQ(edits.items.size(), c.order.size());
    for (size_t k = 0; k < c.order.size(); ++k) {
      EXPECT_EQ(edits.items[k]["task"].Integer(), c.order[k]);
      EXPECT_EQ(SpansOf(edits.items[k]["overwrites"]), c.overwrites[k]);
      const Json& crossfade = edits.items[k]["crossfade"];
      if (!c.laid.empty()) {
        EXPECT_EQ(crossfade.kind == Json::kObject && crossfade["laid"].boolean, c.laid[k]);
      }
    }
    EXPECT_EQ(SpansOf(plan["silence"]), c.silence);
  }
}

// A random task in frames over a.wav and b.wav: up to eight edits, placed or
// appended, some levelled, some crossfaded.
std::string RandomTask(std::mt19937& random) {
  const auto pick = [&random](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  std::string task;
  for (int e = pick(1, 8); e > 0; --e) {
    const int start = pick(0, 900);
    task += std::string("src\t") + (pick(0, 1) == 0 ? "a.wav" : "b.wav") + "\nxin\t" +
            std::to_string(start) + "\nxout\t" + std::to_string(start + pick(1, 400)) + "\n";
    if (pick(0, 2) > 0) task += "ins\t" + std::to_string(pick(0, 3000)) + "\n";
    if (pick(0, 1) > 0) task += "lvl\t-" + std::to_string(pick(0, 12)) + "\n";
    if (pick(0, 2) == 0) task += "xf\t" + std::to_string(pick(1, 30)) + "\t" + std::to_string(pick(1, 4)) + "\n";
  }
  return task;
}

// The report's frames of each edit in write order: task, insert frame,
// read start and read length.
std::vector<std::vector<long long>> ReportedEdits(const std::string& report) {
  std::vector<std::vector<long long>> edits;
  for (size_t at = 0; (at = report.find("Task ", at)) != std::string::npos; ++at) {
    long long task = 0, insert = 0, start = 0, length = 0;
    char file[256];
    if (std::sscanf(report.c_str() + at,
                    "Task %lld\tInsert point %lld samples\n\tFile %255s\n\tRead start %lld samples\n"
                    "\tRead length %lld samples",
                    &task, &insert, file, &start, &length) == 5) {
      edits.push_back({task, insert, start, length});
    }
  }
  return edits;
}

// The plan of random tasks holds the frames the run reports, and every plan
// follows the schema that README describes (checked where Python's
// jsonschema is installed).
TEST(Plan, FramesMatchTheReportOfRandomTasks) {
  TempDir dir;
  WriteSources(dir);
  std::mt19937 random(20261208);
  std::string plans;
  for (int seed = 0; seed < 40; ++seed) {
    const std::string task = "using_samples\ndest\tout.wav\n" + RandomTask(random);
    SCOPED_TRACE(task);
    fixture::WriteFile(dir.Path("task.txt"), fixture::Text(task));
    const std::string name = "plan" + std::to_string(seed) + ".json";
    const fixture::RunResult r = fixture::RunSplyceIn(dir.path, {"--plan", name, "task.txt"});
    ASSERT_EQ(r.status, 0) << r.output << r.errors;
    const Json plan = fixture::ParseJson(Text(fixture::ReadFile(dir.Path(name))));
    std::vector<std::vector<long long>> planned;
    for (const Json& e : plan["edits"].items) {
      planned.push_back({e["task"].Integer(), e["insert_frame"].Integer(),
                         e["read_start"].Integer(), e["read_length"].Integer()});
    }
    EXPECT_EQ(planned, ReportedEdits(r.output));
    EXPECT_NE(r.output.find("\tLength " + plan["destination"]["frames"].text + " samples\n"),
              std::string::npos);
    plans += " " + name;
  }
  const std::string validate =
      "cd '" + dir.path + "' && python3 -c 'import jsonschema' 2>/dev/null || exit 77; "
      "python3 -c 'import json, sys, jsonschema\n"
      "schema = json.load(open(sys.argv[1]))\n"
      "for name in sys.argv[2:]: jsonschema.validate(json.load(open(name)), schema)' '" SPLYCE_SOURCE_DIR
      "/schema/splyce-plan-1.schema.json'" + plans;
  const int status = std::system(validate.c_str());
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "Python's jsonschema is not installed";
  EXPECT_EQ(status, 0);
}

// The drawing holds a bar for every edit, a wedge for every laid crossfade,
// a hatched span for every overwritten one and a shaded one for every
// silent one; after a build, an envelope for each channel, and from a plan
// alone none.
TEST(Drawing, ShowsEveryEditCrossfadeOverwriteAndSilence) {
  TempDir dir;
  WriteSources(dir);
  std::string many = "using_samples\ndest\tout.wav\n";
  for (int e = 0; e < 512; ++e) many += "src\ta.wav\nxin\t" + std::to_string(e % 900) + "\nxout\t" + std::to_string(e % 900 + 50) + "\nxf\t2\t1\n";
  // A name with markup, quotes, a byte that is no UTF-8 and an encoded
  // surrogate, which is none either.
  const std::string odd = "r&d <mix> \"1\" \xff \xed\xa0\x80.wav";
  fixture::WriteFile(dir.Path(odd), fixture::ReadFile(dir.Path("a.wav")));
  const std::string tasks[] = {
      "using_samples\ndest\tout.wav\nsrc\ta.wav\nxout\t100\nsrc\tb.wav\nins\t50\nxout\t100\nxf\t5\t3\n"
      "src\ta.wav\nins\t400\nsrc\tb.wav\nins\t40\nxout\t20\nxf\t20\t1\nsrc\tb.wav\nxf\t3\t2\n",
      many, "dest\tout.wav\nsrc\t" + odd + "\n"};
  // A drawing replaced keeps its permissions.
  fixture::WriteFile(dir.Path("run.svg"), fixture::Text("earlier"));
  ASSERT_EQ(chmod(dir.Path("run.svg").c_str(), 0604), 0);
  for (const std::string& task : tasks) {
    for (const bool check : {false, true}) {
      SCOPED_TRACE(check ? "checked" : "built");
      fixture::WriteFile(dir.Path("task.txt"), fixture::Text(task));
      std::vector<std::string> args = {"--plan", "plan.json", "--draw", "run.svg", "task.txt"};
      if (check) args.insert(args.begin(), "--check");
      ASSERT_EQ(fixture::RunSplyceIn(dir.path, args).status, 0);
      const Json plan = fixture::ParseJson(Text(fixture::ReadFile(dir.Path("plan.json"))));
      const auto svg = fixture::ParseXml(Text(fixture::ReadFile(dir.Path("run.svg"))));
      EXPECT_EQ(svg->name, "svg");
      struct stat drawn;
      ASSERT_EQ(stat(dir.Path("run.svg").c_str(), &drawn), 0);
      EXPECT_EQ(drawn.st_mode & 07777, 0604u);
      std::set<std::string> tasks_drawn;
      for (const auto* bar : fixture::ElementsWith(*svg, "class", "edit")) {
        tasks_drawn.insert(bar->attributes.at("data-task"));
      }
      size_t laid = 0, overwritten = 0;
      for (const Json& e : plan["edits"].items) {
        EXPECT_EQ(tasks_drawn.count(e["task"].text), 1u);
        laid += e["crossfade"].kind == Json::kObject && e["crossfade"]["laid"].boolean;
        overwritten += e["overwrites"].items.size();
      }
      EXPECT_EQ(tasks_drawn.size(), plan["edits"].items.size());
      EXPECT_EQ(fixture::ElementsWith(*svg, "class", "edit").size(), plan["edits"].items.size());
      EXPECT_EQ(fixture::ElementsWith(*svg, "class", "crossfade").size(), laid + 1);  // + legend
      EXPECT_EQ(fixture::ElementsWith(*svg, "class", "overwritten").size(), overwritten + 1);
      EXPECT_EQ(fixture::ElementsWith(*svg, "class", "silence").size(),
                plan["silence"].items.size() + 1);
      const auto envelope = fixture::ElementsWith(*svg, "class", "envelope");
      EXPECT_EQ(envelope.size(), check ? 0u : 1u);
      if (!envelope.empty()) {
        EXPECT_EQ(envelope[0]->children.size(), 2u * 3);  // a backdrop, name and path per channel
      }
    }
  }
}

// The envelope is the peak of each column: silence for the first half of
// this destination, full scale for the second.
TEST(Drawing, EnvelopeShowsEachColumnsPeak) {
  TempDir dir;
  std::vector<int32_t> loud;  // a full-scale click every seventh frame, in the left channel
  for (int f = 0; f < 20000; ++f) loud.insert(loud.end(), {f % 7 == 0 ? -32768 : 0, 0});
  fixture::WriteWav(dir.Path("loud.wav"), {8000, 16, 2}, loud);
  fixture::WriteFile(dir.Path("task.txt"),
                     fixture::Text("using_samples\ndest\tout.wav\nsrc\tloud.wav\nins\t20000\n"));
  ASSERT_EQ(fixture::RunSplyceIn(dir.path, {"--draw", "run.svg", "task.txt"}).status, 0);
  const auto svg = fixture::ParseXml(Text(fixture::ReadFile(dir.Path("run.svg"))));
  const auto envelope = fixture::ElementsWith(*svg, "class", "envelope");
  ASSERT_EQ(envelope.size(), 1u);
  std::vector<std::vector<double>> heights;  // of each channel's columns
  for (const auto& child : envelope[0]->children) {
    if (child->name != "path") continue;
    heights.emplace_back();
    std::istringstream d(child->attributes.at("d"));
    for (char m, v; d >> m;) {
      double x, top, bottom;
      d >> x >> top >> v >> bottom;
      heights.back().push_back(bottom - top);
    }
  }
  ASSERT_EQ(heights.size(), 2u);
  const size_t columns = heights[0].size();
  EXPECT_EQ(heights[0][columns / 4], 1.0);        // silence: a hairline
  EXPECT_EQ(heights[0][3 * columns / 4], 44.0);   // full scale
  EXPECT_EQ(heights[1][3 * columns / 4], 1.0);    // the right channel stays silent
}

// Each example task file, checked, plans what its run then builds, and the
// check leaves the folder as it was.
TEST(Check, ExamplesPlanWhatTheyBuild) {
  TempDir dir;
  ASSERT_EQ(std::system(("cd '" + dir.path + "' && '" SPLYCE_MAKE_DEMO_SOURCES "'").c_str()), 0);
  DIR* examples = opendir(SPLYCE_SOURCE_DIR "/examples");
  ASSERT_NE(examples, nullptr);
  std::set<std::string> names;
  for (dirent* e = readdir(examples); e != nullptr; e = readdir(examples)) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.substr(name.size() - 4) == ".txt") names.insert(name);
  }
  closedir(examples);
#ifndef SPLYCE_HAVE_SOXR
  names.erase("mixed.txt");  // converts rates
#endif
  ASSERT_GE(names.size(), 6u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    fixture::WriteFile(dir.Path(name), fixture::ReadFile(SPLYCE_SOURCE_DIR "/examples/" + name));
    const fixture::Snapshot before = fixture::Take(dir.path);
    const fixture::RunResult checked = fixture::RunSplyceIn(dir.path, {"--check", name});
    EXPECT_TRUE(fixture::Take(dir.path) == before);
    const fixture::RunResult built = fixture::RunSplyceIn(dir.path, {name});
    EXPECT_EQ(built.status, 0);
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.output, fixture::PlannedReport(built.output));
  }
}

// The options before the task files, and what the command line refuses.
TEST(CommandLine, OptionsComeBeforeTheTaskFiles) {
  struct Case {
    std::vector<std::string> args;
    std::string output;  // how standard output starts
    int status;
    std::string errors = "";  // when given, all of standard error
    std::string faults = "";  // system calls made to fail (see fault_shim.cpp)
  };
  const std::string read = fixture::Report(true).Read(1);
  const Case cases[] = {
      {{"--plan"}, "Option --plan takes a file name\n", 1},
      {{"--check", "--draw"}, "Option --draw takes a file name\n", 1},
      {{"--plan", "-", "--draw", "-", "one.txt"},
       "Options --plan and --draw cannot both write to standard output\n", 1},
      {{"--plan", "p.json", "one.txt", "one.txt"}, "Options --plan and --draw take one task file\n", 1},
      {{"--plan", "p.svg", "--draw", "p.svg", "one.txt"},
       "Options --plan and --draw cannot write to one file\n", 1},
      {{"--check", "--strict", "one.txt", "one.txt"}, read + "Task 1\tInsert point 0 samples", 0},
      {{"--strict", "--check", "warned.txt", "one.txt"}, read + read + "Task 1", 1},
      {{"--plan", "-", "one.txt"}, "{\n  \"schema\": \"splyce-plan/1\",\n", 0},
      // The plan's folder cannot be written to the disk after the rename.
      {{"--check", "--plan", "plan.json", "one.txt"}, read + "Cannot write file plan.json\n", 2,
       "splyce: error: \"plan.json\" could not be written: Input/output error\n",
       "fsync:EIO:after=1"},
      {{"--dry-run"}, "Cannot find file --dry-run that holds your instructions\n", 1,
       "splyce: error: \"--dry-run\" is no option, and no task file of that name exists: the "
       "options are --strict, --check, --plan FILE, --draw FILE, --help and --version, before the "
       "task files\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
    TempDir dir;
    WriteSources(dir);
    fixture::WriteFile(dir.Path("one.txt"), fixture::Text("using_samples\ndest\tout.wav\nsrc\ta.wav\n"));
    fixture::WriteFile(dir.Path("warned.txt"),
                       fixture::Text("using_samples\ndest\tout.wav\nsrc\ta.wav\nxout\t5000\n"));
    const fixture::RunResult r = fixture::RunSplyceIn(dir.path, c.args, fixture::WithFaults(c.faults));
    EXPECT_EQ(r.output.substr(0, c.output.size()), c.output);
    EXPECT_EQ(r.status, c.status);
    if (!c.errors.empty()) {
      EXPECT_EQ(r.errors, c.errors);
    }
    EXPECT_FALSE(fixture::FileExists(dir.Path("out.wav")) && c.args[0] != "--plan");
  }
}

}  // namespace
