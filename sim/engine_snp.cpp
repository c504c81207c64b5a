// The SNP station of the simulator: attach, mailboxes, text buffers and the
// handshakes that close an exchange.
#include <algorithm>

#include "sim/bcc.h"
#include "sim/engine.h"
#include "sim/wire.h"

namespace plcsim {
namespace {

std::string DescribeMailbox(std::span<const uint8_t> b) {
  if (b[9] == kMailboxRequest) {
    switch (b[20]) {
      case kShortStatus:
        return "SNP short status";
      case kChangePrivilege:
        return Format("SNP change privilege level %u", b[21]);
      case kRead:
        return "SNP read " + Access(b[21], Le16(b, 22), Le16(b, 24));
      case kWrite:
        return "SNP write " + Access(b[21], Le16(b, 22), Le16(b, 24)) + ", data in the mailbox";
      default:
        return Format("SNP request code 0x%02X", b[20]);
    }
  }
  if (b[9] == kMailboxRequestWithText) {
    std::string text = b[28] == kWrite ? "SNP write " : Format("SNP request code 0x%02X ", b[28]);
    return text + Access(b[29], Le16(b, 30), Le16(b, 32)) +
           Format(", %u bytes in a text buffer of %u", Le16(b, 20), Le16(b, 36));
  }
  return Format("SNP mailbox of type 0x%02X", b[9]);
}

std::vector<uint8_t> MailboxReply(uint8_t type) {
  std::vector<uint8_t> reply(kMailboxLength, 0);
  reply[0] = kEsc;
  reply[1] = kTypeMailbox;
  reply[9] = type;
  reply[34] = kEtb;
  return reply;
}

void SealMailbox(std::vector<uint8_t>& frame) {
  frame[kMailboxLength - 1] = Bcc(std::span(frame).first(kMailboxLength - 1));
}

}  // namespace

void Engine::ErrorNack(Station& station, TimePoint now, uint8_t major, uint8_t minor, std::string& outcome) {
  std::vector<uint8_t> reply = MailboxReply(kReplyError);
  reply[20] = major;
  reply[21] = minor;
  SealMailbox(reply);
  ++station.stats.errors;
  const std::string what = Format("SNP error nack D1, major %02X minor %02X", major, minor);
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, what));
  outcome += ", " + what;
}

// ---------------------------------------------------------------------------
// SNP attach.

void Engine::OnAttach(const Frame& frame, TimePoint now) {
  const std::span<const uint8_t> b = frame.bytes;
  const std::string what = "rx SNP attach \"" + IdText(b.subspan(2, 7)) + "\"";
  if (!frame.bccOk) {
    Trace(what + " -> wrong BCC, ignored", b);
    return;
  }
  CancelAll();
  std::string answered;
  for (Station& station : stations_) {
    const bool match = station.config.protocol == Protocol::Snp &&
                       std::equal(station.id.begin(), station.id.begin() + 7, b.begin() + 2) &&
                       !station.faults.silent.Ignores();
    if (!match) {
      Detach(station);
      continue;
    }
    station.attached = true;
    station.privilege = config_.privilegeAfterAttach;
    station.lastTraffic = now;
    ++station.stats.snpAttaches;
    std::vector<uint8_t> response(kAttachLength, 0);
    response[0] = kEsc;
    response[1] = kTypeAttachResponse;
    std::copy_n(station.id.begin(), 7, response.begin() + 2);
    const char fixed[] = "0A000   ";
    std::copy_n(fixed, 8, response.begin() + 10);
    response[18] = kEtb;
    const uint8_t bcc = Bcc(std::span(response).first(22));
    response[22] = static_cast<uint8_t>(HexDigit(bcc >> 4));
    response[23] = static_cast<uint8_t>(HexDigit(bcc));
    Send(station, now, std::move(response), SendKind::AttachResponse, "SNP attach response");
    answered += (answered.empty() ? "" : ", ") + StationName(station);
  }
  Trace(what + " -> " + (answered.empty() ? "no station answers" : answered + " attached"), b);
}

// ---------------------------------------------------------------------------
// SNP mailboxes and text buffers.

void Engine::OnMailbox(const Frame& frame, TimePoint now) {
  const std::string what = "rx " + DescribeMailbox(frame.bytes);
  CancelAll();
  bool any = false;
  for (Station& station : stations_) {
    if (!station.attached || station.faults.silent || station.config.protocol != Protocol::Snp) continue;
    any = true;
    std::string outcome;
    if (!frame.bccOk) {
      ++station.stats.bccErrors;
      Handshake(station, now, false, 0x00);
      outcome = "wrong BCC, NAK";
    } else if (station.faults.nak.Take()) {
      Handshake(station, now, false, station.faults.nakCode);
      outcome = Format("NAK %02X (fault)", station.faults.nakCode);
    } else {
      OnMailboxRequest(station, frame, now, outcome);
    }
    Trace(what + " -> " + StationName(station) + ": " + outcome, frame.bytes);
  }
  if (!any) Trace(what + " -> no station attached", frame.bytes);
}

void Engine::OnMailboxRequest(Station& station, const Frame& frame, TimePoint now, std::string& outcome) {
  const std::span<const uint8_t> b = frame.bytes;
  if (b[9] == kMailboxRequestWithText) {
    OnWriteAnnouncingText(station, b, now, outcome);
    return;
  }
  if (b[9] != kMailboxRequest) {
    Handshake(station, now, false, 0x02);
    outcome = "unknown mailbox type, NAK 02";
    return;
  }
  Handshake(station, now, true);
  outcome = "ACK";
  switch (b[20]) {
    case kShortStatus: OnShortStatus(station, now, outcome); return;
    case kChangePrivilege: OnChangePrivilege(station, b, now, outcome); return;
    case kRead: OnMailboxRead(station, b, now, outcome); return;
    case kWrite: OnMailboxWrite(station, b, now, outcome); return;
    default: ErrorNack(station, now, kMajorRequestError, kMinorUnknownRequest, outcome); return;
  }
}

// A write whose data follows in a text buffer: checked now, answered after the buffer.
void Engine::OnWriteAnnouncingText(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  Handshake(station, now, true);
  Station::PendingWrite& write = station.write;
  write = {};
  const std::optional<Segment> segment = DecodeSelector(b[29]);
  write.index = Le16(b, 30);
  write.length = Le16(b, 32);
  write.bytes = Le16(b, 20);
  uint8_t minor = b[28] != kWrite ? kMinorUnknownRequest : CheckAccess(station.memory, segment, write.index, write.length);
  if (minor == 0) {
    write.segment = *segment;
    if (PlcMemory::DataLength(*segment, write.index, write.length) != write.bytes ||
        Le16(b, 36) != write.bytes + kTextOverhead) {
      minor = kMinorBadLength;
    } else if (station.privilege < kWritePrivilege) {
      minor = kMinorPrivilege;
    }
  }
  write.major = kMajorRequestError;
  write.minor = minor;
  if (ErrorFault(station, kWriteRequest)) {
    write.major = faults.errorMajor;
    write.minor = faults.errorMinor;
  }
  Await(station, Awaiting::TextBuffer, station.freeAt);
  outcome = Format("ACK, awaiting a text buffer of %u bytes", Le16(b, 36));
}

void Engine::OnShortStatus(Station& station, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  if (ErrorFault(station, kShortStatusRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  ++station.stats.shortStatus;
  std::vector<uint8_t> reply = MailboxReply(kReplyDone);
  reply[kReplyDataOffset] = static_cast<uint8_t>(station.privilege);
  SealMailbox(reply);
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, "SNP reply D4, status"));
  outcome += ", reply D4";
}

void Engine::OnChangePrivilege(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  const int level = b[21];
  if (ErrorFault(station, kChangePrivilegeRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  if (level < kLowestPrivilege || level > kHighestPrivilege) {
    ErrorNack(station, now, kMajorRequestError, kMinorPrivilege, outcome);
    return;
  }
  ++station.stats.changePrivilege;
  station.privilege = level;
  std::vector<uint8_t> reply = MailboxReply(kReplyDone);
  SealMailbox(reply);
  Await(station, Awaiting::Ack,
        Send(station, now, std::move(reply), SendKind::Mailbox, Format("SNP reply D4, privilege %d", level)));
  outcome += ", reply D4";
}

void Engine::OnMailboxRead(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  const std::optional<Segment> segment = DecodeSelector(b[21]);
  const uint32_t index = Le16(b, 22);
  const uint32_t length = Le16(b, 24);
  const uint8_t minor = CheckAccess(station.memory, segment, index, length);
  if (ErrorFault(station, kReadRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  if (minor != 0) {
    ErrorNack(station, now, kMajorRequestError, minor, outcome);
    return;
  }
  ++station.stats.reads;
  StampClock(station, now);
  std::vector<uint8_t> data = station.memory.Read(*segment, index, length);
  if (data.size() <= kReplyDataBytes) {
    std::vector<uint8_t> reply = MailboxReply(kReplyDone);
    std::copy(data.begin(), data.end(), reply.begin() + kReplyDataOffset);
    SealMailbox(reply);
    const std::string what = Format("SNP reply D4, %zu data bytes", data.size());
    Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, what));
    outcome += Format(", reply D4 with %zu bytes", data.size());
    return;
  }
  // The data goes out in text buffers, each sent once the driver has
  // acknowledged the frame before it.
  Station::TextStream& stream = station.stream;
  stream.data = std::move(data);
  stream.offset = 0;
  stream.endless = station.faults.endlessText.Take();
  stream.next = std::min(config_.textBufferData, stream.data.size()) + kTextOverhead;
  std::vector<uint8_t> reply = MailboxReply(kReplyDoneText);
  reply[35] = kTypeText;
  PutLe16(reply, 36, stream.next);
  SealMailbox(reply);
  const std::string what = Format("SNP reply 94, text buffer of %zu follows", stream.next);
  outcome += Format(", reply 94, %zu bytes in text buffers", stream.data.size());
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, what));
}

void Engine::OnMailboxWrite(Station& station, std::span<const uint8_t> b, TimePoint now, std::string& outcome) {
  const Faults& faults = station.faults;
  const std::optional<Segment> segment = DecodeSelector(b[21]);
  const uint32_t index = Le16(b, 22);
  const uint32_t length = Le16(b, 24);
  uint8_t minor = CheckAccess(station.memory, segment, index, length);
  if (minor == 0 && PlcMemory::DataLength(*segment, index, length) > kMailboxWriteBytes) minor = kMinorBadLength;
  if (minor == 0 && station.privilege < kWritePrivilege) minor = kMinorPrivilege;
  if (ErrorFault(station, kWriteRequest)) {
    ErrorNack(station, now, faults.errorMajor, faults.errorMinor, outcome);
    return;
  }
  if (minor != 0) {
    ErrorNack(station, now, kMajorRequestError, minor, outcome);
    return;
  }
  const std::size_t n = PlcMemory::DataLength(*segment, index, length);
  station.memory.Write(*segment, index, length, b.subspan(kMailboxWriteOffset, n));
  ++station.stats.writes;
  std::vector<uint8_t> reply = MailboxReply(kReplyDone);
  SealMailbox(reply);
  Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, "SNP reply D4"));
  outcome += Format(", %zu bytes written, reply D4", n);
}

void Engine::SendNextText(Station& station, TimePoint now) {
  Station::TextStream& stream = station.stream;
  const std::size_t length = stream.next;
  const std::size_t count = length - kTextOverhead;
  std::vector<uint8_t> text(length, 0);
  text[0] = kEsc;
  text[1] = kTypeText;
  for (std::size_t k = 0; k < count; ++k) {
    text[2 + k] = stream.data[(stream.offset + k) % stream.data.size()];
  }
  stream.offset += count;
  if (stream.offset >= stream.data.size() && stream.endless) stream.offset = 0;
  const std::size_t remaining = stream.data.size() - std::min(stream.offset, stream.data.size());
  stream.next = remaining == 0 ? 0 : std::min(config_.textBufferData, remaining) + kTextOverhead;
  text[length - 6] = kEtb;
  text[length - 5] = stream.next != 0 ? kTypeText : 0x00;
  PutLe16(text, length - 4, stream.next);
  std::string what = Format("text buffer of %zu bytes, %zu data, next %zu", length, count, stream.next);
  if (station.faults.textWithoutT.Take()) {
    text[1] = kTypeNotText;
    what += " [no 'T']";
  }
  text[length - 1] = Bcc(std::span(text).first(length - 1));
  Await(station, Awaiting::Ack, Send(station, now, std::move(text), SendKind::Text, what));
}

void Engine::OnText(const Frame& frame, TimePoint now) {
  const std::span<const uint8_t> b = frame.bytes;
  const std::size_t length = b.size();
  const std::size_t count = length - kTextOverhead;
  const bool snpxData = std::any_of(stations_.begin(), stations_.end(),
                                    [](const Station& s) { return s.awaiting == Awaiting::SnpxData; });
  const std::string what = Format(snpxData ? "rx SNPX data frame of %zu bytes" : "rx text buffer of %zu bytes", length);
  bool any = false;
  for (Station& station : stations_) {
    if (station.faults.silent) continue;
    std::string outcome;
    if (station.awaiting == Awaiting::TextBuffer) {
      any = true;
      station.awaiting = Awaiting::Nothing;
      const Station::PendingWrite write = station.write;
      if (!frame.bccOk) {
        ++station.stats.bccErrors;
        Handshake(station, now, false, 0x00);
        outcome = "wrong BCC, NAK";
      } else if (station.faults.nak.Take()) {
        Handshake(station, now, false, station.faults.nakCode);
        outcome = Format("NAK %02X (fault)", station.faults.nakCode);
      } else if (b[length - 6] != kEtb) {
        Handshake(station, now, false, 0x02);
        outcome = "no ETB after the data, NAK 02";
      } else {
        Handshake(station, now, true);
        outcome = "ACK";
        if (write.minor != 0) {
          ErrorNack(station, now, write.major, write.minor, outcome);
        } else {
          station.memory.Write(write.segment, write.index, write.length, b.subspan(2, count));
          ++station.stats.writes;
          std::vector<uint8_t> reply = MailboxReply(kReplyDone);
          SealMailbox(reply);
          Await(station, Awaiting::Ack, Send(station, now, std::move(reply), SendKind::Mailbox, "SNP reply D4"));
          outcome += Format(", %zu bytes written, reply D4", count);
        }
      }
    } else if (station.awaiting == Awaiting::SnpxData) {
      any = true;
      station.awaiting = Awaiting::Nothing;
      const Station::PendingWrite write = station.write;
      if (!frame.bccOk) {
        ++station.stats.bccErrors;
        outcome = "wrong BCC, no answer";
      } else if (b[2 + count] != kEtb) {
        SnpxAnswer(station, now, static_cast<uint16_t>(kMajorRequestError | kMinorBadFrame << 8), {}, outcome);
      } else if (ErrorFault(station, kSnpxWriteData)) {
        const Faults& f = station.faults;
        SnpxAnswer(station, now, f.snpxStatus != 0 ? f.snpxStatus : static_cast<uint16_t>(f.errorMajor | f.errorMinor << 8),
                   {}, outcome);
      } else {
        station.memory.Write(write.segment, write.index, write.length, b.subspan(2, count));
        ++station.stats.writes;
        SnpxAnswer(station, now, 0, {}, outcome);
        outcome = Format("%zu bytes written, ", count) + outcome;
      }
    } else {
      continue;
    }
    Trace(what + " -> " + StationName(station) + ": " + outcome, b);
  }
  if (!any) Trace(what + " -> no station awaits one", b);
}

void Engine::OnAckNak(const Frame& frame, TimePoint now) {
  const bool ack = frame.bytes[0] == kAck && frame.bytes[1] == 0x00;
  const std::string what = ack ? "rx ACK" : Format("rx %02X %02X", frame.bytes[0], frame.bytes[1]);
  for (Station& station : stations_) {
    if (station.awaiting != Awaiting::Ack || station.faults.silent) continue;
    station.awaiting = Awaiting::Nothing;
    std::string outcome;
    if (ack) {
      ++station.stats.acksReceived;
      if (station.stream.next != 0) {
        SendNextText(station, now);
        outcome = "next text buffer";
      } else {
        station.stream = {};
        outcome = "exchange done";
      }
    } else {
      if (frame.bytes[0] == kNak) ++station.stats.naksReceived;
      Cancel(station);
      outcome = "exchange dropped";
    }
    Trace(what + " -> " + StationName(station) + ": " + outcome, frame.bytes);
  }
}

}  // namespace plcsim
