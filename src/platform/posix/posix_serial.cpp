// Interim: every COM port reads as absent until the termios backend replaces this file.
#include "platform/posix/posix_factories.h"

namespace kl {
namespace {

class AbsentSerialPorts : public SerialPorts {
 public:
  explicit AbsentSerialPorts(Process& process) : process_(process) {}
  std::unique_ptr<SerialDevice> open(int, const SerialSettings&) override {
    process_.setLastError(oserr::FileNotFound);
    return nullptr;
  }

 private:
  Process& process_;
};

}  // namespace

std::unique_ptr<SerialPorts> MakePosixSerialPorts(Process& process, Environment&) {
  return std::make_unique<AbsentSerialPorts>(process);
}

}  // namespace kl
