// A pseudo-terminal pair for tests: the test holds the master side and plays
// the far end of the line; the driver opens the slave by name or path.
#pragma once

#include <asm/termbits.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // "/dev/pts/N" and the port name "pts/N".
  const std::string& Path() const { return path_; }
  std::string Name() const { return path_.substr(5); }
  int Master() const { return master_; }

  // Puts bytes on the line towards the driver.
  void Send(const std::vector<uint8_t>& bytes);
  // What the driver wrote: up to count bytes, waiting at most timeoutMs.
  std::vector<uint8_t> Receive(size_t count, int timeoutMs);

  // Bytes waiting in the driver's input; waits until at least count are
  // there (false after timeoutMs).
  size_t PendingInput() const;
  bool WaitPendingInput(size_t count, int timeoutMs) const;

  // The slave's terminal state as the driver left it.
  termios2 SlaveState() const;

  // The far end goes away: the driver's side sees a hang-up.
  void CloseMaster();

 private:
  int master_ = -1;
  int observer_ = -1;  // a slave descriptor opened before the driver's, never read
  std::string path_;
};

// Milliseconds on the monotonic clock, for timing assertions.
int64_t MonotonicMs();

// Descriptors open in this process.
int OpenDescriptorCount();
