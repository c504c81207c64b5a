// SNP mailbox messages (ESC 'M', 40 bytes), the PLC's two-byte ACK/NAK and
// the text buffers that carry data too long for a mailbox.
#pragma once

#include <cstdint>
#include <span>

struct DriverContext;

constexpr uint16_t kMailboxSize = 40;
constexpr uint16_t kMailboxBodySize = 16;  // frame offsets 18..33
constexpr uint16_t kRequestBytes = 13;     // frame offsets 21..33 of a plain mailbox
constexpr uint16_t kMailboxTrailerSize = 4;

// Offsets in a mailbox, request or reply.
constexpr uint16_t kMailboxType = 9;
constexpr uint16_t kMailboxSegment = 15;  // 0x3E for Short Status, else 0x0A
constexpr uint16_t kMailboxBody = 18;
constexpr uint16_t kMailboxEtb = 34;
constexpr uint16_t kMailboxTrailer = 35;  // next type, next length (2), 0
constexpr uint16_t kMailboxBcc = 39;      // BCC of bytes 0..38
// Offsets in a reply.
constexpr uint16_t kReplyMajorError = 20;  // of an error nack
constexpr uint16_t kReplyMinorError = 21;
constexpr uint16_t kReplyData = 22;        // a read's data in a done reply
constexpr uint16_t kReplyTextLength = 36;  // length of the first text buffer of a text reply

// Offsets in the 13 request bytes of a read or write.
constexpr uint16_t kRequestSelector = 0;
constexpr uint16_t kRequestIndex = 1;   // 16 bits
constexpr uint16_t kRequestLength = 3;  // 16 bits
constexpr uint16_t kRequestData = 5;    // the data of a write carried in the mailbox

// Mailbox types.
constexpr uint8_t kMailboxNoText = 0xC0;    // request, no text buffer follows
constexpr uint8_t kMailboxWithText = 0x80;  // request, a text buffer follows
constexpr uint8_t kReplyDone = 0xD4;        // reply, a read's data in bytes 22..27
constexpr uint8_t kReplyText = 0x94;        // reply, the data follows in text buffers
constexpr uint8_t kReplyErrorNack = 0xD1;

// Segments of a request mailbox.
constexpr uint8_t kSegmentShortStatus = 0x3E;
constexpr uint8_t kSegmentDefault = 0x0A;

constexpr uint8_t kSnpRead = 0x04;
constexpr uint8_t kSnpWrite = 0x07;

constexpr uint8_t kTextBufferType = 'T';
// A text buffer: ESC 'T', the data, then ETB, next type, next length (2), 0
// and the BCC: 8 bytes around the data.
constexpr uint16_t kTextFraming = 8;
constexpr uint16_t kTextData = 2;            // offset of the data
constexpr uint16_t kTextNextLengthBack = 4;  // the next length, counted back from the end
constexpr uint16_t kTextBufferSize = 1024;
constexpr uint16_t kTextMaxData = kTextBufferSize - kTextFraming;

// Fills a 40-byte mailbox: ESC 'M', type, the fixed bytes, the segment, the
// 16 body bytes, ETB, the 4 trailer bytes and the BCC.
void BuildMailbox(std::span<uint8_t, kMailboxSize> frame, uint8_t type, uint8_t segment,
                  std::span<const uint8_t, kMailboxBodySize> body, std::span<const uint8_t, kMailboxTrailerSize> trailer);
// Checks the BCC of a 40-byte mailbox reply.
bool MailboxBccOk(std::span<const uint8_t, kMailboxSize> frame);

// Receives a 40-byte mailbox reply and answers it: a NAK when its BCC is
// wrong, an ACK otherwise, whatever its type. false, after the message for
// the failure, when no whole reply came or its BCC was wrong. The messages
// are formats that may quote the parsed GAS with one %s.
bool ReceiveMailboxReply(DriverContext* context, uint8_t (&reply)[kMailboxSize], const char* noReply,
                         const char* badBcc);

// The major and minor error codes of an error nack, in the one message that
// reports them.
void LogErrorCodes(const uint8_t (&reply)[kMailboxSize]);

// 1 when the PLC answered 06 00; 0 (with a message) otherwise.
int SnpGetAck(DriverContext* context);
int SnpShortStatus(DriverContext* context);
int SnpChangePrivilege(DriverContext* context);

// Builds and sends a plain mailbox request with its 13 request bytes.
void SnpSendMailbox(DriverContext* context, uint8_t code, const uint8_t (&requestBytes)[kRequestBytes]);
