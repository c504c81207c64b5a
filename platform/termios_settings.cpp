#include "platform/termios_settings.h"

#include "platform/option_word.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

namespace {

struct StandardRate {
  uint32_t rate;
  tcflag_t code;
};

// The rates with a B-constant that a 16-bit baud rate can name; any other
// rate goes through BOTHER.
constexpr StandardRate kStandardRates[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},   {150, B150},     {200, B200},
    {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800}, {2400, B2400},   {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

constexpr tcflag_t kLineBits = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CLOCAL | CREAD | CRTSCTS;
constexpr tcflag_t kInputBits = INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL;
constexpr tcflag_t kLocalBits = ICANON | ECHO | ISIG | IEXTEN;

bool SpeedCode(uint32_t rate, tcflag_t* code) {
  for (const StandardRate& standard : kStandardRates) {
    if (standard.rate == rate) {
      *code = standard.code;
      return true;
    }
  }
  return false;
}

bool DataBitsCode(uint16_t dataBits, tcflag_t* code) {
  switch (dataBits) {
    case 5: *code = CS5; return true;
    case 6: *code = CS6; return true;
    case 7: *code = CS7; return true;
    case 8: *code = CS8; return true;
    default: return false;
  }
}

bool ParityCode(uint16_t parity, tcflag_t* code) {
  switch (parity) {
    case 0: *code = 0; return true;
    case 1: *code = PARENB | PARODD; return true;
    case 2: *code = PARENB; return true;
    case 3: *code = PARENB | CMSPAR | PARODD; return true;  // stick parity, always 1
    case 4: *code = PARENB | CMSPAR; return true;           // stick parity, always 0
    default: return false;
  }
}

bool StopBitsCode(uint16_t stopBits, uint16_t dataBits, tcflag_t* code) {
  switch (stopBits) {
    case 0: *code = 0; return true;
    case 1:
      if (dataBits != 5) return false;
      *code = CSTOPB;
      return true;
    case 2: *code = CSTOPB; return true;
    default: return false;
  }
}

bool ModemChange(uint16_t options, ModemLineChange* change) {
  ModemLineChange result{0, 0};
  switch (DtrControlFor(options)) {
    case DtrControl::kEnable: result.raise |= TIOCM_DTR; break;
    case DtrControl::kDisable: result.drop |= TIOCM_DTR; break;
    case DtrControl::kHandshake: return false;
  }
  switch (RtsControlFor(options)) {
    case RtsControl::kEnable: result.raise |= TIOCM_RTS; break;
    case RtsControl::kDisable: result.drop |= TIOCM_RTS; break;
    case RtsControl::kHandshake:
    case RtsControl::kToggle: return false;
  }
  *change = result;
  return true;
}

uint32_t Difference(uint32_t a, uint32_t b) { return a > b ? a - b : b - a; }

}  // namespace

bool PortDevicePath(const char* name, char* path, size_t size) {
  if (name == nullptr || name[0] == '\0' || size == 0) return false;
  int length = 0;
  if (std::strcmp(name, "NUL") == 0) {
    length = std::snprintf(path, size, "/dev/null");
  } else if (name[0] == '/') {
    length = std::snprintf(path, size, "%s", name);
  } else {
    // COMn with n a decimal number from 1; anything else stays a name.
    unsigned long number = 0;
    bool com = std::strncmp(name, "COM", 3) == 0 && name[3] != '\0';
    for (const char* p = name + 3; com && *p != '\0'; ++p) {
      if (*p < '0' || *p > '9' || number > 99999) {
        com = false;
      } else {
        number = number * 10 + static_cast<unsigned long>(*p - '0');
      }
    }
    if (com && number >= 1) {
      length = std::snprintf(path, size, "/dev/ttyS%lu", number - 1);
    } else {
      length = std::snprintf(path, size, "/dev/%s", name);
    }
  }
  return length > 0 && static_cast<size_t>(length) < size;
}


int TranslateLineSettings(const LineSettings& line, uint16_t options, bool pseudoTerminal, termios2* state,
                          ModemLineChange* modem) {
  constexpr int kRejected = 5;
  tcflag_t size = 0;
  tcflag_t parity = 0;
  tcflag_t stop = 0;
  ModemLineChange change{0, 0};
  if (line.baudRate == 0) return kRejected;  // B0 would hang the line up
  if (!DataBitsCode(line.dataBits, &size) || !ParityCode(line.parity, &parity) ||
      !StopBitsCode(line.stopBits, line.dataBits, &stop)) {
    return kRejected;
  }
  if (!pseudoTerminal && !ModemChange(options, &change)) return kRejected;

  tcflag_t speed = 0;
  const bool standard = SpeedCode(line.baudRate, &speed);
#ifndef BOTHER
  if (!standard) return kRejected;
#else
  if (!standard) speed = BOTHER;
#endif

  termios2 next = *state;
  next.c_iflag &= ~(IGNBRK | BRKINT | kInputBits | IUCLC | IMAXBEL);
  next.c_oflag &= ~OPOST;
  next.c_lflag &= ~(kLocalBits | ECHONL);
  next.c_cflag &= ~(kLineBits | CBAUD | CIBAUD);
  next.c_cflag |= CLOCAL | CREAD | speed;
  next.c_ispeed = line.baudRate;  // CIBAUD cleared: input runs at the output speed
  next.c_ospeed = line.baudRate;
  if (pseudoTerminal) {
    // A pseudo-terminal drops parity on its own and then refuses a later
    // state that asks for it again; it carries 8-bit bytes as they are.
    next.c_cflag |= CS8;
  } else {
    next.c_cflag |= size | parity | stop;
    if (parity != 0) next.c_iflag |= INPCK;  // a byte with a parity error reads as 0
  }
  next.c_cc[VMIN] = 0;
  next.c_cc[VTIME] = 0;

  *state = next;
  *modem = change;
  return 0;
}

uint32_t StateSpeed(const termios2& state) {
  const tcflag_t code = state.c_cflag & CBAUD;
#ifdef BOTHER
  if (code == BOTHER) return state.c_ospeed;
#endif
  for (const StandardRate& standard : kStandardRates) {
    if (standard.code == code) return standard.rate;
  }
  return 0;
}

bool StateTookEffect(const termios2& wanted, const termios2& actual) {
  if ((wanted.c_cflag & kLineBits) != (actual.c_cflag & kLineBits)) return false;
  if ((wanted.c_iflag & kInputBits) != (actual.c_iflag & kInputBits)) return false;
  if ((wanted.c_oflag & OPOST) != (actual.c_oflag & OPOST)) return false;
  if ((wanted.c_lflag & kLocalBits) != (actual.c_lflag & kLocalBits)) return false;
#ifdef BOTHER
  if ((wanted.c_cflag & CBAUD) == BOTHER) {
    const uint32_t rate = StateSpeed(wanted);
    return Difference(StateSpeed(actual), rate) <= rate / 50;
  }
#endif
  return (wanted.c_cflag & CBAUD) == (actual.c_cflag & CBAUD);
}
