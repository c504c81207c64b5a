// The board's network file: which stations exist on the line, their SNP IDs
// and protocols, the attach-response wait and RTS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "host_api/records.h"

// Results of ReadNetworkFile.
constexpr int kNetworkFileIllegal = 0;   // an illegal line stopped the reading
constexpr int kNetworkFileUsable = 1;    // read to its end, or absent (peer-to-peer mode)
constexpr int kNetworkFileBadBoard = 2;  // the board number does not fit the file name

constexpr int kConfigLineBufferSize = 135;
constexpr int kConfigLineMaxRead = 15;  // characters read per logical line

// Where the reader takes the file's characters from: the open file, or a
// buffer for tests. next returns the next character, or EOF at the end.
struct ConfigSource {
  int (*next)(void* user);
  void* user;
};

// The characters of an open file.
ConfigSource FileSource(std::FILE* file);

// The characters of size bytes in memory; *cursor counts those taken.
struct ConfigBuffer {
  const uint8_t* bytes;
  size_t size;
  size_t cursor;
};
ConfigSource BufferSource(ConfigBuffer* buffer);

// Reads "kelG1NN.int" of request->board from the current directory into
// request->context.
int ReadNetworkFile(KelRequest* request);

// Reads the lines of the network file named fileName (the name its messages
// quote) from source into context. Same results as ReadNetworkFile.
int ReadNetworkLines(DriverContext* context, const char* fileName, ConfigSource source);

// Reads one logical line: at most 15 characters, keeping letters, digits and
// '*'. 1 with a NUL-terminated line in the buffer, 0 when there is none.
int ReadConfigLine(ConfigSource source, std::span<char, kConfigLineBufferSize> line);
int ReadConfigLine(std::FILE* file, std::span<char, kConfigLineBufferSize> line);

// Builds the file name of a board; false when the number does not fit.
bool NetworkFileName(int32_t board, char (&name)[16]);
