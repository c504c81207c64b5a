// SNP mailbox messages (ESC 'M', 40 bytes) and the PLC's two-byte ACK/NAK.
#pragma once

#include <cstdint>

struct DriverContext;

constexpr uint16_t kMailboxSize = 40;
constexpr uint16_t kMailboxBodySize = 16;  // frame offsets 18..33
constexpr uint16_t kRequestBytes = 13;     // frame offsets 21..33 of a plain mailbox

// Mailbox types.
constexpr uint8_t kMailboxNoText = 0xC0;    // request, no text buffer follows
constexpr uint8_t kMailboxWithText = 0x80;  // request, a text buffer follows
constexpr uint8_t kReplyDone = 0xD4;        // reply, a read's data in bytes 22..27
constexpr uint8_t kReplyText = 0x94;        // reply, the data follows in text buffers
constexpr uint8_t kReplyErrorNack = 0xD1;

constexpr uint8_t kSnpRead = 0x04;
constexpr uint8_t kSnpWrite = 0x07;

constexpr uint8_t kTextBufferType = 'T';
// A text buffer: ESC 'T', the data, then ETB, next type, next length (2), 0
// and the BCC: 8 bytes around the data.
constexpr uint16_t kTextFraming = 8;
constexpr uint16_t kTextBufferSize = 1024;
constexpr uint16_t kTextMaxData = kTextBufferSize - kTextFraming;

// Fills a 40-byte mailbox: ESC 'M', type, the fixed bytes (0x3E at offset 15
// for Short Status, else 0x0A), the 16 body bytes at 18, ETB, the 4 trailer
// bytes at 35 and the BCC of bytes 0..38.
void BuildMailbox(uint8_t* frame, uint8_t type, uint8_t segment, const uint8_t* body, const uint8_t* trailer);
// Checks the BCC of a 40-byte mailbox reply.
bool MailboxBccOk(const uint8_t* frame);

// 1 when the PLC answered 06 00; 0 (with a message) otherwise.
int SnpGetAck(DriverContext* context);
int SnpShortStatus(DriverContext* context);
int SnpChangePrivilege(DriverContext* context);

// Builds and sends a plain mailbox request with its 13 request bytes.
void SnpSendMailbox(DriverContext* context, uint8_t code, const uint8_t* requestBytes);
