// Records the messages the driver writes through the host library's err.
#pragma once

#include <string>
#include <vector>

struct LogLine {
  int level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

// While alive, every message goes to lines instead of standard error.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LogLine>& Lines() const { return lines_; }
  void Clear() { lines_.clear(); }

 private:
  static void Sink(void* user, int level, const char* text);
  std::vector<LogLine> lines_;
};

std::ostream& operator<<(std::ostream& out, const LogLine& line);
