#include "driver/network_file.h"

#include <cstring>

#include "context/driver_context.h"
#include "platform/host_log.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void ToUpper(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
  }
}

// "WAIT" and 2 to 4 digits with a value of 10..1000; the value in *wait.
bool ParseWaitLine(const char* line, uint16_t* wait) {
  if (std::strlen(line) > 8) return false;
  int value = 0;
  for (const char* p = line + 4; *p != '\0'; ++p) {
    if (!IsDigit(*p)) return false;
    value = value * 10 + (*p - '0');
  }
  if (value < 10 || value > 1000) return false;
  *wait = static_cast<uint16_t>(value);
  return true;
}

// Two digits naming station 01..64.
bool ParseStationNumber(const char* line, int* station) {
  if (!IsDigit(line[0]) || !IsDigit(line[1])) return false;
  *station = (line[0] - '0') * 10 + (line[1] - '0');
  return *station >= 1 && *station <= 64;
}

void StoreStation(DriverContext* context, const char* line, int station) {
  context->snpxStation[station] = 0;
  const char* id = line + 2;
  for (int i = 0; i < 8 && id[i] != '\0'; ++i) {
    if (id[i] == '*') {
      context->snpxStation[station] = 1;
      break;
    }
    // A station listed again overwrites its ID position by position.
    context->snpIds[station][i] = id[i];
  }
}

}  // namespace

bool NetworkFileName(int32_t board, char (&name)[16]) {
  if (board > 999999 || board < -99999) return false;
  std::snprintf(name, sizeof name, "kelG1%.2d.int", static_cast<int>(board));
  return true;
}

ConfigSource FileSource(std::FILE* file) {
  return ConfigSource{[](void* user) { return std::fgetc(static_cast<std::FILE*>(user)); }, file};
}

ConfigSource BufferSource(ConfigBuffer* buffer) {
  return ConfigSource{[](void* user) {
                        auto* b = static_cast<ConfigBuffer*>(user);
                        return b->cursor < b->size ? static_cast<int>(b->bytes[b->cursor++]) : EOF;
                      },
                      buffer};
}

int ReadConfigLine(ConfigSource source, std::span<char, kConfigLineBufferSize> line) {
  static_assert(kConfigLineMaxRead < kConfigLineBufferSize, "a line and its NUL fit the buffer");
  int kept = 0;
  int read = 0;
  while (read < kConfigLineMaxRead) {
    const int c = source.next(source.user);
    if (c == EOF) {
      if (read == 0) return 0;
      break;
    }
    ++read;
    if (c == '\n') break;
    const char ch = static_cast<char>(c);
    if (ch == '*' || IsDigit(ch) || IsLetter(ch)) line[kept++] = ch;
  }
  line[kept] = '\0';
  return kept > 0 ? 1 : 0;
}

int ReadConfigLine(std::FILE* file, std::span<char, kConfigLineBufferSize> line) {
  return ReadConfigLine(FileSource(file), line);
}

int ReadNetworkFile(KelRequest* request) {
  DriverContext* context = request->context;
  // A reload follows the file it reads: what an earlier file set is cleared.
  std::memset(context->snpIds, 0, sizeof context->snpIds);
  context->rtsControl = 0;

  char fileName[16];
  if (!NetworkFileName(request->board, fileName)) {
    KEL_LOG(kLevelInfo, "KelG1: Board number %d out of range", static_cast<int>(request->board));
    return kNetworkFileBadBoard;
  }
  std::FILE* file = std::fopen(fileName, "r");
  if (file == nullptr) {
    KEL_LOG(kLevelInfo, "KelG1 : File %s not found, Peer To Peer Mode", fileName);
    return kNetworkFileUsable;
  }

  const int result = ReadNetworkLines(context, fileName, FileSource(file));
  std::fclose(file);
  return result;
}

int ReadNetworkLines(DriverContext* context, const char* fileName, ConfigSource source) {
  int result = kNetworkFileUsable;
  char line[kConfigLineBufferSize];
  for (int index = 0;; ++index) {
    std::memset(line, 0, sizeof line);
    if (ReadConfigLine(source, line) == 0) break;
    ToUpper(line);
    if (index == 0 && std::strncmp(line, "WAIT", 4) == 0) {
      uint16_t wait = 0;
      if (ParseWaitLine(line, &wait)) {
        context->attachWait = wait;
        KEL_LOG(kLevelInfo, "KelG1: Attach response Wait Time is %d mSec", context->attachWait * 10);
      } else {
        KEL_LOG(kLevelInfo, "KelG1: Invalid Wait Time in File %s", fileName);
        KEL_LOG(kLevelInfo, "KelG1: Attach Wait Time is set to 200 mSec");
      }
      continue;
    }
    if (index == 0 && std::strncmp(line, "RTS", 3) == 0) {
      context->rtsControl = 1;
      continue;
    }
    int station = 0;
    if (!ParseStationNumber(line, &station)) {
      KEL_LOG(kLevelInfo, "KelG1: Line %d in file %s is illegal !", index, fileName);
      result = kNetworkFileIllegal;
      break;
    }
    StoreStation(context, line, station);
  }
  return result;
}
