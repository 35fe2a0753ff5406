#include "support/report.h"

namespace fixture {

std::string Report::Time(const std::string& value) const {
  return value + (in_frames_ ? " samples" : " sec");
}

Report& Report::Read(int entries) {
  if (in_frames_) text_ += "Reading time values as samples.\n";
  text_ += "\nRead " + std::to_string(entries) + " entries in task file\n\n";
  return *this;
}

Report& Report::Task(int task, const std::string& insert, const std::string& file,
                     const std::string& start, const std::string& length,
                     const std::string& level, const std::string& before_done) {
  text_ += "Task " + std::to_string(task) + "\tInsert point " + Time(insert) + "\n\tFile " + file +
           "\n\tRead start " + Time(start) + "\n\tRead length " + Time(length) + "\n\tLevel " +
           level + " dB\n" + before_done + "\tDone\n\n";
  return *this;
}

Report& Report::Built(const std::string& destination, const std::string& length, int bits,
                      int channels, int rate) {
  text_ += "Built\t" + destination + "\n\tLength " + Time(length) + "\n\tBits " +
           std::to_string(bits) + "\n\tChannels " + std::to_string(channels) +
           "\n\tSample rate " + std::to_string(rate) + "\n\n";
  return *this;
}

Report& Report::Line(const std::string& text) {
  text_ += text;
  return *this;
}

}  // namespace fixture
