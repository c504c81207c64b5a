#include <gtest/gtest.h>

#include "tests/support/test_fault.h"

void ReportTestFault(const std::string& message) { ADD_FAILURE() << message; }
