// Our stand-in for the host runtime library KALVRO: the logging function err
// and the client calls, plus two calls of our own for tools and tests.
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#if defined(KALVRO_BUILD)
#define KALVRO_API __declspec(dllexport)
#else
#define KALVRO_API __declspec(dllimport)
#endif
#else
#define KALVRO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Writes one message: the formatted text goes to the sink with its level.
KALVRO_API int err(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Registers a client; 0 on success with *handle filled in.
KALVRO_API uint16_t KalMkClient(const char* name, int kind, int flags, uint8_t* handle);
// The host's version number and a version text of up to 100 characters.
KALVRO_API uint16_t KalGetKalvroVer(uint8_t handle, uint16_t* version, char* text);
KALVRO_API uint16_t KalRmClient(uint8_t handle);

// Where err's messages go; nullptr restores the default sink, which writes
// "[level] text" lines to standard error.
typedef void (*KalErrSink)(void* user, int level, const char* text);
KALVRO_API void KalSetErrSink(KalErrSink sink, void* user);
// The version KalGetKalvroVer reports; a negative one makes KalMkClient fail.
KALVRO_API void KalSetHostVersion(int version);

#ifdef __cplusplus
}
#endif
