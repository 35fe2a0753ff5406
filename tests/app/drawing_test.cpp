// The timeline drawing, read back as XML: what it shows of a plan, and the
// waveform of a built destination; run on the binary.
#include "app/drawing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/documents.h"
#include "support/run_binary.h"
#include "support/wav_fixture.h"

namespace {

using fixture::Json;
using fixture::TempDir;

std::string Text(const fixture::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The drawing holds a bar for every edit, a wedge for every laid crossfade,
// a hatched span for every overwritten one and a shaded one for every
// silent one; after a build, an envelope for each channel, and from a plan
// alone none.
TEST(BinaryDrawing, ShowsEveryEditCrossfadeOverwriteAndSilence) {
  TempDir dir;
  fixture::WriteNoise(dir.Path("a.wav"), {8000, 16, 2}, 1000, 3);
  fixture::WriteNoise(dir.Path("b.wav"), {8000, 16, 2}, 1000, 4);
  std::string many = "using_samples\ndest\tout.wav\n";
  for (int e = 0; e < 512; ++e) {
    many += "src\ta.wav\nxin\t" + std::to_string(e % 900) + "\nxout\t" +
            std::to_string(e % 900 + 50) + "\nxf\t2\t1\n";
  }
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
TEST(BinaryDrawing, EnvelopeShowsEachColumnsPeak) {
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

}  // namespace
