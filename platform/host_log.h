// The binding to the host library's err(level, format, ...). Every message
// of the driver goes through it, with the format and arguments passed on
// unchanged.
#pragma once

typedef int (*ErrFunction)(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The host's err, or a fallback that writes "[level] text" to standard error
// when the host library cannot be found.
ErrFunction HostErr();

// Levels: faults on the line and in the protocols, parse errors; information
// and request-level outcomes.
constexpr int kLevelFault = 8;
constexpr int kLevelInfo = 32;

#define KEL_LOG(level, ...) HostErr()((level), __VA_ARGS__)

// Learns the host's version through the host library's client calls, as a
// client named "KelG1Br" and the calling thread's id; 0 when registration
// fails or no host library is present.
int HostVersion();

// The client name of HostVersion for a thread id.
constexpr int kClientNameSize = 24;  // "KelG1Br", up to 11 characters of id, NUL
void HostClientName(int threadId, char (&name)[kClientNameSize]);
