// What kelgate tells about its line: the stations it finds on the board,
// its start lines and the counters' report (SIGUSR1 and the stop).
#pragma once

#include <string>
#include <vector>

#include "gateway/scan_engine.h"
#include "host/driver_module.h"

namespace kelgate {

// The stations of the board's network file, told by a silent block parse,
// which accepts exactly the stations the file defines: their SNP IDs and
// protocols as the driver keeps them, and the longest block the parse
// accepts for each (SNP and SNPX limits differ).
std::vector<StationInfo> FindStations(Board& board);

// "1 SNP, 2 SNPX" ("none" without stations).
std::string DescribeStations(const std::vector<StationInfo>& stations);
// "*:R:1-10@500", as --scan takes it.
std::string DescribeGroup(const ScanGroup& group);

// The counters, one log line each, and the data age of the cached answers
// since the last report.
std::vector<std::string> ReportLines(const EngineSnapshot& snapshot, const CacheAges& ages);

}  // namespace kelgate
