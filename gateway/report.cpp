#include "gateway/report.h"

#include <cstring>

#include "context/driver_context.h"
#include "host/text_format.h"

namespace kelgate {
namespace {

std::string Ms(const std::optional<double>& ms) {
  return ms ? std::to_string(static_cast<long long>(*ms)) + " ms" : "-";
}

}  // namespace

std::vector<StationInfo> FindStations(Board& board) {
  std::vector<StationInfo> found;
  for (int station = 0; station <= kHighestStation; ++station) {
    Tag tag;
    const std::string gas = Gas(station, *FindArea("R"), 1);
    if (board.Parse(gas, 1, true, &tag) != 0) continue;
    StationInfo info;
    info.number = station;
    const DriverContext* context = board.Context();
    info.snpId.assign(context->snpIds[station], strnlen(context->snpIds[station], kSnpIdSlotSize));
    info.protocol = context->snpxStation[station] ? Protocol::kSnpx : Protocol::kSnp;
    uint32_t low = 1, high = 4096;
    while (low < high) {
      const uint32_t mid = (low + high + 1) / 2;
      if (board.Parse(gas, static_cast<int32_t>(mid), true, &tag) == 0) {
        low = mid;
      } else {
        high = mid - 1;
      }
    }
    info.blockLimit = low;
    found.push_back(info);
  }
  return found;
}

std::string DescribeStations(const std::vector<StationInfo>& stations) {
  std::string text;
  for (const StationInfo& info : stations) {
    if (!text.empty()) text += ", ";
    text += std::to_string(info.number) + " " + ProtocolName(info.protocol);
  }
  return text.empty() ? "none" : text;
}

std::string DescribeGroup(const ScanGroup& group) {
  return (group.station == kAllStations ? std::string("*") : std::to_string(group.station)) + ":" + group.area->name +
         ":" + std::to_string(group.first) + "-" + std::to_string(group.last) + "@" + std::to_string(group.intervalMs);
}

std::vector<std::string> ReportLines(const EngineSnapshot& snapshot, const CacheAges& ages) {
  std::vector<std::string> lines;
  lines.push_back(
      "stations (cycles, block reads, requests, failures, demotions, time demoted, data age, round trip, refused):");
  for (const StationCounters& s : snapshot.stations) {
    std::string failures;
    for (const auto& [kind, n] : s.failures)
      failures += std::string(" ") + FailureKindName(kind) + " x" + std::to_string(n);
    lines.push_back(
        Format("  station %d (%s%s%s): %llu cycles, %llu block reads, %llu requests, failures:%s, %llu demotions%s, "
               "%.1f s demoted, data age %s, round trip %s, %llu answered 0x0B at once while demoted",
               s.info.number, ProtocolName(s.info.protocol), s.info.snpId.empty() ? "" : " ", s.info.snpId.c_str(),
               static_cast<unsigned long long>(s.cycles), static_cast<unsigned long long>(s.blockReads),
               static_cast<unsigned long long>(s.requests), failures.empty() ? " none" : failures.c_str(),
               static_cast<unsigned long long>(s.demotions), s.demoted ? " (demoted now)" : "", s.demotedSeconds,
               Ms(s.dataAgeMs).c_str(), Ms(s.lastRoundTripMs).c_str(), static_cast<unsigned long long>(s.rejected)));
  }
  const LineCounters& line = snapshot.line;
  lines.push_back(
      Format("line: %llu scan cycles, %llu requests, busy %.0f %% of the last 10 s (%.1f s in %.0f s), "
             "%zu waiting",
             static_cast<unsigned long long>(line.cycles), static_cast<unsigned long long>(line.requests),
             line.busyFraction * 100, line.busySeconds, line.upSeconds, line.queueLength));
  const ClientCounters& clients = snapshot.clients;
  std::string requests;
  for (const auto& [function, n] : clients.requests) {
    requests += " function " + std::to_string(function) + " x" + std::to_string(n);
  }
  std::string exceptions;
  for (const auto& [code, n] : clients.exceptions)
    exceptions += Format(" 0x%02X x%llu", code, static_cast<unsigned long long>(n));
  lines.push_back(
      Format("clients: %d connected, %llu in total; requests:%s; exceptions:%s; %llu answered from the cache",
             clients.connected, static_cast<unsigned long long>(clients.connections),
             requests.empty() ? " none" : requests.c_str(), exceptions.empty() ? " none" : exceptions.c_str(),
             static_cast<unsigned long long>(clients.fromCache)));
  if (ages.answers > 0) {
    lines.push_back(Format("cache: %llu answers since the last report, data age median %.0f ms, p99 %.0f ms",
                           static_cast<unsigned long long>(ages.answers), ages.medianMs, ages.p99Ms));
  }
  return lines;
}

}  // namespace kelgate
