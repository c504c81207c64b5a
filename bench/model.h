// The time an exchange must take on a serial line, computed from its frames:
// every byte in either direction at the character time, every reply of the
// PLC a turnaround after the frame it answers (and after its own previous
// frame), and every pause and line break the driver makes. It is the floor
// the benchmark holds the measured times against.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct Step {
  enum Kind {
    Send,   // the driver writes `bytes`; it goes on at once, the bytes take their time
    Reply,  // the PLC answers with `bytes`; the driver waits for the last one
    Pause,  // the driver sleeps `ms` (a line break is a pause in which nothing is sent)
  };
  Kind kind;
  double value;  // bytes for Send and Reply, milliseconds for Pause
};

struct LineModel {
  unsigned baud = 19200;
  int bitsPerChar = 11;  // start, 8 data, odd parity, stop
  double turnaroundMs = 5;
  double CharMs() const { return 1000.0 * bitsPerChar / baud; }
};

// One request, or one scan, as the steps it is made of.
using Exchange = std::vector<Step>;

// The time one repetition takes when repetitions follow each other at once,
// as a host's scan does: bytes the driver wrote last (its final ACK) still
// cross the line while the next request is written behind them.
double ModelMs(const LineModel& line, const Exchange& exchange);

// Bytes and turnarounds of an exchange, for the report.
std::size_t BytesOnLine(const Exchange& exchange);
std::size_t Turnarounds(const Exchange& exchange);
double PausesMs(const Exchange& exchange);

// The exchanges the driver makes, frame by frame. A station already attached
// needs no attach.
Exchange SnpxRead(std::size_t dataBytes);
Exchange SnpxShortWrite();
Exchange SnpxBitWriteInRegister();  // one-word read, then the word written
Exchange SnpxBroadcastAttach();
Exchange SnpRead(std::size_t dataBytes, std::size_t textBufferData = 256);
Exchange SnpWrite(std::size_t dataBytes);
Exchange SnpAttach();
// A scan reading one register from each of `stations` stations in turn;
// with more than one, every read must first attach its station.
Exchange Scan(bool snpx, int stations);

// Appends b to a.
Exchange operator+(Exchange a, const Exchange& b);

}  // namespace bench
