// Station attach: selects a station on the line before an exchange, by the
// SNP attach (break, attach request, checked response) or, for an SNPX
// station, the SNPX broadcast attach that no station answers.
#pragma once

#include <cstdint>

struct DriverContext;

constexpr uint32_t kSnpReuseWindowMs = 5000;
constexpr uint32_t kSnpxReuseWindowMs = 4900;
constexpr int kSnpAttachTries = 8;
constexpr uint32_t kPauseAfterBreakMs = 100;
constexpr uint32_t kPauseAfterBroadcastMs = 100;
constexpr uint16_t kAttachFrameSize = 24;

// 1 when the station is attached, 0 when the SNP attach failed.
int AttachStation(DriverContext* context, int32_t station, const char* snpId);
int SnpxBroadcastAttach(DriverContext* context, int32_t station);
void SnpSendAttach(DriverContext* context, const char* snpId);
int SnpGetAttachResponse(DriverContext* context);

// Builds the 24-byte SNP attach request for an SNP ID slot.
void BuildSnpAttachRequest(const char* snpId, uint8_t (&frame)[kAttachFrameSize]);
// The BCC as two upper-case hex digits, high half first.
void EncodeBccHex(uint8_t bcc, uint8_t* digits);
