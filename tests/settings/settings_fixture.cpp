#include "settings/settings_fixture.h"

#include <filesystem>
#include <fstream>

namespace kl::test {
namespace {

class FailingReader : public File {
 public:
  FailingReader(std::unique_ptr<File> inner, Process& process, long failAfter)
      : inner_(std::move(inner)), process_(process), left_(failAfter) {}
  long read(void* buffer, size_t count) override {
    if (left_ <= 0) {
      process_.setLastError(oserr::Generic);
      return -1;
    }
    if (count > static_cast<size_t>(left_)) count = static_cast<size_t>(left_);
    long n = inner_->read(buffer, count);
    if (n > 0) left_ -= n;
    return n;
  }
  bool write(const void* bytes, size_t count) override { return inner_->write(bytes, count); }
  bool close() override { return inner_->close(); }

 private:
  std::unique_ptr<File> inner_;
  Process& process_;
  long left_;
};

class FailingWriter : public File {
 public:
  FailingWriter(std::unique_ptr<File> inner, Process& process, long failAfter)
      : inner_(std::move(inner)), process_(process), left_(failAfter) {}
  long read(void* buffer, size_t count) override { return inner_->read(buffer, count); }
  bool write(const void* bytes, size_t count) override {
    if (static_cast<long>(count) > left_) {
      process_.setLastError(oserr::DiskFull);
      return false;
    }
    left_ -= static_cast<long>(count);
    return inner_->write(bytes, count);
  }
  bool close() override { return inner_->close(); }

 private:
  std::unique_ptr<File> inner_;
  Process& process_;
  long left_;
};

}  // namespace

std::unique_ptr<File> FaultyFiles::create(const std::string& path) {
  const size_t cut = path.rfind('/');
  if (uncreatable.count(path) || (cut != std::string::npos && unwritableFolders.count(path.substr(0, cut)) &&
                                  !std::filesystem::exists(path))) {
    process_.setLastError(oserr::AccessDenied);
    return nullptr;
  }
  std::unique_ptr<File> file = real_.create(path);
  if (!file || writeFailsAfter < 0) return file;
  return std::make_unique<FailingWriter>(std::move(file), process_, writeFailsAfter);
}

std::unique_ptr<File> FaultyFiles::openRead(const std::string& path) {
  std::unique_ptr<File> file = real_.openRead(path);
  if (!file || readFailsAfter < 0) return file;
  return std::make_unique<FailingReader>(std::move(file), process_, readFailsAfter);
}

bool FaultyFiles::remove(const std::string& path) {
  calls.push_back("remove " + path);
  if (removeFailures > 0 || (removeNeedsWritable && !madeWritable_)) {
    if (removeFailures > 0) --removeFailures;
    process_.setLastError(oserr::AccessDenied);
    return false;
  }
  return real_.remove(path);
}

bool FaultyFiles::makeWritable(const std::string& path) {
  calls.push_back("makeWritable " + path);
  madeWritable_ = true;
  return real_.makeWritable(path);
}

bool FaultyFiles::rename(const std::string& from, const std::string& to) {
  calls.push_back("rename " + from + " -> " + to);
  if (renameFailures > 0) {
    --renameFailures;
    process_.setLastError(oserr::SharingViolation);
    return false;
  }
  if (beforeRename) beforeRename(from, to);
  return real_.rename(from, to);
}

int SettingsTest::exitCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ProcessExit& exit) {
    return exit.code;
  }
  return -1;
}

std::string SettingsTest::console() {
  s.out.flushConsole();
  return sim.console.output();
}

}  // namespace kl::test
