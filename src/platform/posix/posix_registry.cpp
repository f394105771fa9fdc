// Interim: an in-memory registry until the file-backed store replaces this file.
#include <map>

#include "platform/posix/posix_factories.h"

namespace kl {
namespace {

class MemoryRegistry : public Registry {
 public:
  std::string get(const std::string& path) override {
    auto it = values_.find(path);
    return it == values_.end() ? std::string() : it->second;
  }
  void put(const std::string& path, const std::string& text) override {
    if (text.empty()) values_.erase(path); else values_[path] = text;
  }

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace

std::unique_ptr<Registry> MakePosixRegistry(Process&, Environment&) {
  return std::make_unique<MemoryRegistry>();
}

}  // namespace kl
