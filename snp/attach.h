// The SNP attach: selects an SNP station on the line before an exchange by a
// break, the attach request and its checked response.
#pragma once

#include <cstdint>

struct DriverContext;

constexpr uint32_t kSnpReuseWindowMs = 5000;
constexpr int kSnpAttachTries = 8;
constexpr uint32_t kPauseAfterBreakMs = 100;
constexpr uint16_t kAttachFrameSize = 24;
constexpr uint16_t kAttachBccOffset = 22;  // two hex digits of the BCC of bytes 0..21

// 1 when the station is attached, 0 when every attach try failed.
int AttachStation(DriverContext* context, int32_t station, const char* snpId);
void SnpSendAttach(DriverContext* context, const char* snpId);
int SnpGetAttachResponse(DriverContext* context);

// Builds the 24-byte SNP attach request for an SNP ID slot.
void BuildSnpAttachRequest(const char* snpId, uint8_t (&frame)[kAttachFrameSize]);
// The BCC as two upper-case hex digits, high half first.
void EncodeBccHex(uint8_t bcc, uint8_t (&digits)[2]);
