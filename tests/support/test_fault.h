// How the test support code reports a broken expectation (an unscripted
// write, a malformed hex text, two fake lines at once). Test programs link
// test_fault_gtest.cpp, which turns it into a test failure; the fuzz targets
// link their own, which stops the run so the input is kept.
#pragma once

#include <sstream>
#include <string>

void ReportTestFault(const std::string& message);

// FaultReport() << "text " << value; reports once, when the statement ends.
class FaultReport {
 public:
  FaultReport() = default;
  FaultReport(const FaultReport&) = delete;
  FaultReport& operator=(const FaultReport&) = delete;
  ~FaultReport() { ReportTestFault(out_.str()); }
  template <class T>
  FaultReport& operator<<(const T& value) {
    out_ << value;
    return *this;
  }

 private:
  std::ostringstream out_;
};
