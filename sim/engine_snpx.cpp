// The SNPX station of the simulator: broadcast and addressed attach, reads,
// and writes short or with a data frame.
#include <algorithm>

#include "sim/bcc.h"
#include "sim/engine.h"
#include "sim/wire.h"

namespace plcsim {
namespace {

std::string DescribeSnpx(std::span<const uint8_t> b) {
  const std::string id = "\"" + IdText(b.subspan(2, 8)) + "\"";
  switch (b[10]) {
    case kSnpxAttach:
      return "SNPX attach " + id;
    case kSnpxRead:
      return "SNPX read " + Access(b[11], Le16(b, 12), Le16(b, 14)) + " at " + id;
    case kSnpxWrite:
      return "SNPX write " + Access(b[11], Le16(b, 12), Le16(b, 14)) + " at " + id +
             (b[19] == kTypeText ? Format(", data frame of %u follows", Le16(b, 20)) : std::string(", short"));
    default:
      return Format("SNPX request code %u at ", b[10]) + id;
  }
}

}  // namespace

void Engine::SnpxAnswer(Station& station, TimePoint now, uint16_t status, std::span<const uint8_t> data,
                        std::string& outcome) {
  const std::size_t n = status == 0 ? data.size() : 0;
  std::vector<uint8_t> response(15 + n, 0);
  response[0] = kEsc;
  response[1] = kTypeSnpx;
  PutLe16(response, 5, status);
  PutLe16(response, 7, n);
  std::copy_n(data.begin(), n, response.begin() + kSnpxDataOffset);
  response[kSnpxDataOffset + n] = kEtb;
  response[14 + n] = Bcc(std::span(response).first(14 + n));
  if (status != 0) ++station.stats.errors;
  const std::string what = Format("status 0x%04X, %zu bytes", status, n);
  Send(station, now, std::move(response), SendKind::SnpxResponse, "SNPX response " + what);
  outcome += what;
}

void Engine::OnSnpx(const Frame& frame, TimePoint now) {
  const std::span<const uint8_t> b = frame.bytes;
  const bool broadcast = std::all_of(b.begin() + 2, b.begin() + 10, [](uint8_t c) { return c == 0xFF; });
  const std::string what = "rx " + (broadcast && b[10] == kSnpxAttach ? std::string("SNPX broadcast attach") : DescribeSnpx(b));
  const auto addressed = [&b](const Station& s) {
    return s.config.protocol == Protocol::Snpx && std::equal(s.id.begin(), s.id.end(), b.begin() + 2);
  };
  if (!frame.bccOk) {
    for (Station& station : stations_) {
      if (addressed(station)) ++station.stats.bccErrors;
    }
    Trace(what + " -> wrong BCC, ignored", b);
    return;
  }
  CancelAll();
  if (broadcast) {
    if (b[10] != kSnpxAttach) {
      Trace(what + " -> broadcast, no answer", b);
      return;
    }
    std::string attached;
    for (Station& station : stations_) {
      if (station.faults.silent || station.config.protocol != Protocol::Snpx) {
        Detach(station);
        continue;
      }
      station.attached = true;
      ++station.stats.snpxAttaches;
      attached += (attached.empty() ? "" : ", ") + StationName(station);
    }
    Trace(what + " -> " + (attached.empty() ? "no SNPX station" : attached + " attached"), b);
    return;
  }
  bool any = false;
  for (Station& station : stations_) {
    if (!addressed(station) || station.faults.silent.Ignores()) continue;
    any = true;
    std::string outcome;
    OnSnpxRequest(station, frame, now, outcome);
    Trace(what + " -> " + StationName(station) + ": " + outcome, b);
  }
  if (!any) Trace(what + " -> no station with this SNP ID", b);
}

void Engine::OnSnpxRequest(Station& station, const Frame& frame, TimePoint now, std::string& outcome) {
  const std::span<const uint8_t> b = frame.bytes;
  const Faults& faults = station.faults;
  const uint16_t faultStatus =
      faults.snpxStatus != 0 ? faults.snpxStatus : static_cast<uint16_t>(faults.errorMajor | faults.errorMinor << 8);
  const auto error = [](uint8_t minor) { return static_cast<uint16_t>(kMajorRequestError | minor << 8); };
  if (b[10] == kSnpxAttach) {
    for (Station& other : stations_) {
      if (&other != &station) Detach(other);
    }
    station.attached = true;
    ++station.stats.snpxAttaches;
    SnpxAnswer(station, now, 0, {}, outcome);
    return;
  }
  if (!station.attached) {
    outcome = "not attached, no answer";
    return;
  }
  const std::optional<Segment> segment = DecodeSelector(b[11]);
  const uint32_t index = Le16(b, 12);
  const uint32_t length = Le16(b, 14);
  uint8_t minor = CheckAccess(station.memory, segment, index, length);
  switch (b[10]) {
    case kSnpxRead: {
      if (ErrorFault(station, kReadRequest)) return SnpxAnswer(station, now, faultStatus, {}, outcome);
      if (minor != 0) return SnpxAnswer(station, now, error(minor), {}, outcome);
      ++station.stats.reads;
      StampClock(station, now);
      const std::vector<uint8_t> data = station.memory.Read(*segment, index, length);
      return SnpxAnswer(station, now, 0, data, outcome);
    }
    case kSnpxWrite: {
      const bool follows = b[19] == kTypeText;
      const std::size_t n = minor == 0 ? PlcMemory::DataLength(*segment, index, length) : 0;
      if (minor == 0 && (follows ? Le16(b, 20) != n + kTextOverhead : n > kSnpxShortBytes)) minor = kMinorBadLength;
      if (ErrorFault(station, kWriteRequest)) return SnpxAnswer(station, now, faultStatus, {}, outcome);
      if (minor != 0) return SnpxAnswer(station, now, error(minor), {}, outcome);
      if (follows) {
        station.write = {*segment, index, length, n, 0, 0, 0};
        SnpxAnswer(station, now, 0, {}, outcome);
        Await(station, Awaiting::SnpxData, station.freeAt);
        outcome += ", awaiting the data frame";
        return;
      }
      station.memory.Write(*segment, index, length, b.subspan(kSnpxShortOffset, n));
      ++station.stats.writes;
      outcome = Format("%zu bytes written, ", n);
      return SnpxAnswer(station, now, 0, {}, outcome);
    }
    default:
      return SnpxAnswer(station, now, error(kMinorUnknownRequest), {}, outcome);
  }
}

}  // namespace plcsim
