#include "platform/win32/win32_files.h"

#include <windows.h>

#include "platform/run_lock.h"

namespace kl {

namespace {

class Win32File : public File {
 public:
  Win32File(Process& process, HANDLE handle) : process_(process), handle_(handle) {}
  ~Win32File() override {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }

  long read(void* buffer, size_t count) override {
    DWORD n = 0;
    const DWORD wanted = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(count);
    BOOL done;
    DWORD error;
    {
      BlockingSection wait(process_);  // a pipe or device may keep a read waiting
      done = ::ReadFile(handle_, buffer, wanted, &n, nullptr);
      error = ::GetLastError();
    }
    if (done) return static_cast<long>(n);
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;  // the end of a file or pipe
    process_.setLastError(static_cast<int>(error));
    return -1;
  }

  bool write(const void* bytes, size_t count) override {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
      DWORD n = 0;
      const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
      if (!::WriteFile(handle_, p, chunk, &n, nullptr)) {
        process_.setLastError(static_cast<int>(::GetLastError()));
        return false;
      }
      if (n == 0) {  // nothing taken and no error: no room left
        process_.setLastError(ERROR_DISK_FULL);
        return false;
      }
      p += n;
      count -= n;
    }
    return true;
  }

  bool sync() override {
    if (handle_ == INVALID_HANDLE_VALUE || ::FlushFileBuffers(handle_)) return true;
    process_.setLastError(static_cast<int>(::GetLastError()));
    return false;
  }

  bool close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    const BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (!closed) {
      process_.setLastError(static_cast<int>(::GetLastError()));
      return false;
    }
    return true;
  }

 private:
  Process& process_;
  HANDLE handle_;
};

}  // namespace

bool Win32FileSystem::fail() {
  process_.setLastError(static_cast<int>(::GetLastError()));
  return false;
}

bool Win32FileSystem::createDirectory(const std::string& path) {
  if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
  return fail();
}

bool Win32FileSystem::isDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32FileSystem::exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Win32FileSystem::isWritableDirectory(const std::string& path) {
  if (!isDirectory(path)) return false;
  // Only trying tells: the read-only attribute means nothing on a folder, access rights do.
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    const std::string probe = path + separator_ + "kestrelink-" + std::to_string(::GetCurrentProcessId()) + "-" +
                              std::to_string(::GetTickCount() + attempt) + ".tmp";
    HANDLE handle = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      ::CloseHandle(handle);
      return true;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

std::unique_ptr<File> Win32FileSystem::openWith(const std::string& path, unsigned long access,
                                                unsigned long disposition) {
  // Shared for reading as files on Windows usually are; a file open for writing keeps others
  // from writing it at the same time.
  HANDLE handle;
  DWORD error;
  {
    BlockingSection wait(process_);  // opening a pipe waits for its other end
    handle = ::CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    error = ::GetLastError();
  }
  if (handle == INVALID_HANDLE_VALUE) {
    process_.setLastError(static_cast<int>(error));
    return nullptr;
  }
  return std::make_unique<Win32File>(process_, handle);
}

std::unique_ptr<File> Win32FileSystem::openRead(const std::string& path) {
  return openWith(path, GENERIC_READ, OPEN_EXISTING);
}

std::unique_ptr<File> Win32FileSystem::create(const std::string& path) {
  // Never through a symbolic link: one planted in a shared folder would have another file
  // emptied.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    process_.setLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return openWith(path, GENERIC_WRITE, CREATE_ALWAYS);
}

std::unique_ptr<File> Win32FileSystem::createExclusive(const std::string& path) {
  return openWith(path, GENERIC_WRITE, CREATE_NEW);
}

bool Win32FileSystem::list(const std::string& directory, const std::string& pattern,
                           std::vector<DirEntry>& entries) {
  entries.clear();
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA((directory + separator_ + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    // No match in a folder that is there is an empty listing.
    if (::GetLastError() == ERROR_FILE_NOT_FOUND && isDirectory(directory)) return true;
    return fail();
  }
  do {
    // The listing's attribute bits are the ones the program reads (fileattr).
    entries.push_back(DirEntry{found.cFileName, static_cast<uint32_t>(found.dwFileAttributes)});
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return true;
}

bool Win32FileSystem::remove(const std::string& path) {
  if (::DeleteFileA(path.c_str())) return true;
  return fail();
}

bool Win32FileSystem::makeWritable(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return fail();
  if (::SetFileAttributesA(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) return true;
  return fail();
}

bool Win32FileSystem::rename(const std::string& from, const std::string& to) {
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  return fail();
}

}  // namespace kl
