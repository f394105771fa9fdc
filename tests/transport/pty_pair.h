// A pseudo-terminal pair for tests of the real serial backend: the program opens the slave
// as a COM port, the test plays the far end on the master.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kl::test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  // Up to `count` bytes that arrive within `timeoutMs`.
  std::vector<uint8_t> read(size_t count, int timeoutMs);
  void write(const std::vector<uint8_t>& bytes);
  // The far end goes away (a pulled adapter).
  void closeMaster();
  int master() const { return master_; }

 private:
  int master_ = -1;
  std::string slavePath_;
};

// The slave's line settings as the kernel holds them.
struct SlaveLine {
  uint32_t speed = 0;
  bool eightBits = false;
  bool twoStopBits = false;
  bool oddParity = false;
  bool ctsFlow = false;
  bool receiverOn = false;
  bool local = false;
};
SlaveLine ReadSlaveLine(int master);

}  // namespace kl::test
