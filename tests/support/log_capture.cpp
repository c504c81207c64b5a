#include "tests/support/log_capture.h"

#include <ostream>

#include "host_api/kalvro.h"

LogCapture::LogCapture() { KalSetErrSink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { KalSetErrSink(nullptr, nullptr); }

void LogCapture::Sink(void* user, int level, const char* text) {
  static_cast<LogCapture*>(user)->lines_.push_back(LogLine{level, text});
}

std::ostream& operator<<(std::ostream& out, const LogLine& line) {
  return out << "[" << line.level << "] \"" << line.text << "\"";
}
