// The report a run prints on standard output, spelled in one place.
#ifndef SPLYCE_TESTS_SUPPORT_REPORT_H
#define SPLYCE_TESTS_SUPPORT_REPORT_H

#include <string>

namespace fixture {

// Builds a report piece by piece, as the program prints it. Times are given
// as the report writes their numbers ("0.100" in seconds, "800" in frames);
// the unit follows from the task's: " sec", or " samples" for a task that
// starts with using_samples.
class Report {
 public:
  explicit Report(bool in_frames = false) : in_frames_(in_frames) {}

  // "Reading time values as samples." for a task in frames, then how many
  // entries the task file holds.
  Report& Read(int entries);
  // One edit: its task number, where it lands, its file, read and level (to
  // three places), with what the run prints before its "Done" (crossfade
  // messages).
  Report& Task(int task, const std::string& insert, const std::string& file,
               const std::string& start, const std::string& length, const std::string& level,
               const std::string& before_done = "");
  // The closing summary of a destination of `length`.
  Report& Built(const std::string& destination, const std::string& length, int bits, int channels,
                int rate);
  // Anything else the run prints, as it is.
  Report& Line(const std::string& text);

  operator std::string() const { return text_; }
  const std::string& Text() const { return text_; }

 private:
  std::string Time(const std::string& value) const;
  bool in_frames_;
  std::string text_;
};

}  // namespace fixture

#endif  // SPLYCE_TESTS_SUPPORT_REPORT_H
