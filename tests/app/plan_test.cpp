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
TEST(BinaryPlan, OverwritesAndSilenceAreExact) {
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
TEST(BinaryPlan, FramesMatchTheReportOfRandomTasks) {
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

}  // namespace
