#include "bench/model.h"

#include <algorithm>

namespace bench {
namespace {

// Frame sizes of the two protocols.
constexpr std::size_t kAckNak = 2;
constexpr std::size_t kAttachFrame = 24;     // SNP attach request and response, SNPX broadcast attach
constexpr std::size_t kMailbox = 40;         // every SNP mailbox, request or reply
constexpr std::size_t kTextOverhead = 8;     // ESC 'T', ETB, next type, next length (2), 0, BCC
constexpr std::size_t kSnpxRequest = 24;
constexpr std::size_t kSnpxResponse = 15;    // without data: ESC 'X', 3, status, length, 6 (BCC last)
constexpr std::size_t kSnpMailboxData = 8;   // largest write carried in the mailbox itself

// Prescribed pauses of the driver, in milliseconds.
constexpr double kBreakMs = 20;
constexpr double kAfterBreakMs = 100;
constexpr double kAfterBroadcastAttachMs = 100;

Step Send(std::size_t bytes) { return {Step::Send, static_cast<double>(bytes)}; }
Step Reply(std::size_t bytes) { return {Step::Reply, static_cast<double>(bytes)}; }
Step Pause(double ms) { return {Step::Pause, ms}; }

struct Timeline {
  double driver = 0;    // the driver's own time
  double heard = 0;     // the last byte the driver wrote has arrived at the PLC
  double plcFree = 0;   // the PLC's last frame has arrived at the driver

  void Run(const LineModel& line, const Exchange& exchange) {
    const double c = line.CharMs();
    for (const Step& step : exchange) {
      switch (step.kind) {
        case Step::Send:
          heard = std::max(heard, driver) + step.value * c;
          break;
        case Step::Reply:
          plcFree = std::max(heard, plcFree) + line.turnaroundMs + step.value * c;
          driver = std::max(driver, plcFree);
          break;
        case Step::Pause:
          driver += step.value;
          break;
      }
    }
  }
};

}  // namespace

Exchange operator+(Exchange a, const Exchange& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

double ModelMs(const LineModel& line, const Exchange& exchange) {
  Timeline timeline;
  timeline.Run(line, exchange);
  const double first = timeline.driver;
  timeline.Run(line, exchange);
  return timeline.driver - first;
}

std::size_t BytesOnLine(const Exchange& exchange) {
  std::size_t bytes = 0;
  for (const Step& step : exchange) {
    if (step.kind != Step::Pause) bytes += static_cast<std::size_t>(step.value);
  }
  return bytes;
}

std::size_t Turnarounds(const Exchange& exchange) {
  return static_cast<std::size_t>(
      std::count_if(exchange.begin(), exchange.end(), [](const Step& s) { return s.kind == Step::Reply; }));
}

double PausesMs(const Exchange& exchange) {
  double ms = 0;
  for (const Step& step : exchange) {
    if (step.kind == Step::Pause) ms += step.value;
  }
  return ms;
}

Exchange SnpxRead(std::size_t dataBytes) { return {Send(kSnpxRequest), Reply(kSnpxResponse + dataBytes)}; }

Exchange SnpxShortWrite() { return {Send(kSnpxRequest), Reply(kSnpxResponse)}; }

Exchange SnpxBitWriteInRegister() { return SnpxRead(2) + SnpxShortWrite(); }

// No station answers the broadcast attach; its bytes cross the line during
// the pause that follows it.
Exchange SnpxBroadcastAttach() {
  return {Pause(kBreakMs), Pause(kAfterBreakMs), Send(kAttachFrame), Pause(kAfterBroadcastAttachMs)};
}

// The mailbox request, the PLC's ACK, its mailbox reply and the driver's
// ACK; data beyond the reply's 6 bytes comes in text buffers, each
// acknowledged by the driver before the PLC sends the next.
Exchange SnpRead(std::size_t dataBytes, std::size_t textBufferData) {
  Exchange e{Send(kMailbox), Reply(kAckNak), Reply(kMailbox), Send(kAckNak)};
  if (dataBytes > 6) {
    for (std::size_t left = dataBytes; left > 0;) {
      const std::size_t part = std::min(left, textBufferData);
      e.push_back(Reply(part + kTextOverhead));
      e.push_back(Send(kAckNak));
      left -= part;
    }
  }
  return e;
}

Exchange SnpWrite(std::size_t dataBytes) {
  Exchange e{Send(kMailbox), Reply(kAckNak)};
  if (dataBytes > kSnpMailboxData) {
    e.push_back(Send(dataBytes + kTextOverhead));
    e.push_back(Reply(kAckNak));
  }
  e.push_back(Reply(kMailbox));
  e.push_back(Send(kAckNak));
  return e;
}

Exchange SnpAttach() { return {Pause(kBreakMs), Pause(kAfterBreakMs), Send(kAttachFrame), Reply(kAttachFrame)}; }

Exchange Scan(bool snpx, int stations) {
  const Exchange read = snpx ? SnpxRead(2) : SnpRead(2);
  const Exchange each = stations > 1 ? (snpx ? SnpxBroadcastAttach() : SnpAttach()) + read : read;
  Exchange scan;
  for (int k = 0; k < stations; ++k) scan = scan + each;
  return scan;
}

}  // namespace bench
