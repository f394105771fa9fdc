#include "platform/posix/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/run_lock.h"

namespace kl {

int osErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return oserr::None;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
      return oserr::FileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return oserr::AccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return oserr::SharingViolation;
    case EINVAL:
      return oserr::InvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return oserr::DiskFull;
    case EEXIST:
      return 80;  // file exists
    case ELOOP:
      return oserr::AccessDenied;  // a symbolic link where a file is to be created
    default:
      return oserr::Generic;
  }
}

namespace {

class PosixFile : public File {
 public:
  PosixFile(Process& process, int fd) : process_(process), fd_(fd) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  long read(void* buffer, size_t count) override {
    for (;;) {
      ssize_t n;
      {
        BlockingSection wait(process_);  // a pipe or device may keep a read waiting
        n = ::read(fd_, buffer, count);
      }
      if (n >= 0) return static_cast<long>(n);
      if (errno == EINTR) continue;
      process_.setLastError(osErrorFromErrno(errno));
      return -1;
    }
  }

  bool write(const void* bytes, size_t count) override {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
      ssize_t n = ::write(fd_, p, count);
      if (n < 0) {
        if (errno == EINTR) continue;
        process_.setLastError(osErrorFromErrno(errno));
        return false;
      }
      p += n;
      count -= static_cast<size_t>(n);
    }
    return true;
  }

  bool sync() override {
    if (fd_ < 0 || ::fsync(fd_) == 0) return true;
    process_.setLastError(osErrorFromErrno(errno));
    return false;
  }

  bool close() override {
    if (fd_ < 0) return true;
    int result = ::close(fd_);
    fd_ = -1;
    if (result != 0) {
      process_.setLastError(osErrorFromErrno(errno));
      return false;
    }
    return true;
  }

 private:
  Process& process_;
  int fd_;
};

}  // namespace

bool PosixFileSystem::fail() {
  process_.setLastError(osErrorFromErrno(errno));
  return false;
}

bool PosixFileSystem::createDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  return fail();
}

PathKind PosixFileSystem::kind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::File;
  if (S_ISDIR(st.st_mode)) return PathKind::Folder;
  if (S_ISCHR(st.st_mode)) return PathKind::Device;
  return PathKind::Other;
}

bool PosixFileSystem::isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixFileSystem::exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool PosixFileSystem::isWritableDirectory(const std::string& path) {
  return isDirectory(path) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::unique_ptr<File> PosixFileSystem::openWith(const std::string& path, int flags, unsigned mode) {
  int fd;
  {
    BlockingSection wait(process_);  // opening a FIFO waits for its other end
    fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
  }
  if (fd < 0) {
    fail();
    return nullptr;
  }
  if ((flags & O_ACCMODE) == O_RDONLY) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      process_.setLastError(oserr::AccessDenied);
      return nullptr;
    }
  }
  return std::make_unique<PosixFile>(process_, fd);
}

std::unique_ptr<File> PosixFileSystem::openRead(const std::string& path) {
  return openWith(path, O_RDONLY);
}

std::unique_ptr<File> PosixFileSystem::create(const std::string& path) {
  // Never through a symbolic link: in a shared folder such as /tmp anyone could plant one
  // named like the lock or work file and have another of the user's files emptied.
  return openWith(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
}

std::unique_ptr<File> PosixFileSystem::createExclusive(const std::string& path) {
  return openWith(path, O_WRONLY | O_CREAT | O_EXCL);
}

std::unique_ptr<File> PosixFileSystem::createPrivate(const std::string& path) {
  // O_EXCL with O_CREAT never follows a link, a dangling one included.
  return openWith(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, S_IRUSR | S_IWUSR);
}

bool PosixFileSystem::list(const std::string& directory, const std::string& pattern,
                           std::vector<DirEntry>& entries) {
  entries.clear();
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return fail();
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (::fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
    DirEntry item;
    item.name = name;
    struct stat st {};
    const std::string full = directory + "/" + name;
    if (::lstat(full.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) item.attributes |= fileattr::Directory;
      if ((st.st_mode & S_IWUSR) == 0) item.attributes |= fileattr::ReadOnly;
    }
    if (!name.empty() && name[0] == '.') item.attributes |= fileattr::Hidden;
    entries.push_back(std::move(item));
  }
  ::closedir(dir);
  return true;
}

bool PosixFileSystem::remove(const std::string& path) {
  if (isDirectory(path)) {
    process_.setLastError(oserr::AccessDenied);
    return false;
  }
  if (::unlink(path.c_str()) == 0) return true;
  return fail();
}

bool PosixFileSystem::makeWritable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail();
  if (::chmod(path.c_str(), st.st_mode | S_IWUSR) == 0) return true;
  return fail();
}

bool PosixFileSystem::rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  return fail();
}

}  // namespace kl
