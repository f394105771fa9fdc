#include "driver/parameter_file.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "Pellmar/writers.h"
#include "driver/parameter_lines.h"
#include "driver/run_context.h"
#include "driver/runtime_errors.h"

namespace kl {
namespace {

constexpr std::string_view kUnit = "parameter_file";

// Characters that end the directory part of a path. On Windows a drive colon and both
// slashes do; elsewhere "\" and ":" are ordinary file-name characters.
std::string_view directorySeparators(FileSystem& files) {
  return files.separator() == '\\' ? std::string_view("\\/:") : std::string_view("/");
}

// Why a write or read of the parameter file did not happen: what failed, on its own line the
// cause, and where the check is (a runtime error names it).
struct FileFailure {
  std::string what;
  std::string cause;
  int line = 0;
  bool locked = false;  // the old file could be neither replaced nor deleted
};

std::string LastErrorText(RunContext& s) { return s.platform.process.errorText(s.platform.process.lastError()); }

// The cause of a failed open of `path`: "is a folder" where the error code alone would say
// "access denied".
std::string OpenCause(RunContext& s, const std::string& path) {
  const int error = s.platform.process.lastError();
  if (s.platform.files.kind(path) == PathKind::Folder) return path + " is a folder";
  return s.platform.process.errorText(error);
}

// A name the program must not write over: anything but a regular file.
std::string NotAFile(const std::string& path, PathKind kind) {
  switch (kind) {
    case PathKind::Folder:
      return path + " is a folder";
    case PathKind::Device:
      return path + " is a device, not a file";
    case PathKind::Other:
      return path + " is not a regular file";
    case PathKind::Missing:
    case PathKind::File:
      break;
  }
  return {};
}

[[noreturn]] void ReportFileFailure(RunContext& s, const FileFailure& failure, const std::string& path) {
  // The file is beyond this run: no end of it tries again to store an outcome there.
  s.outcomeSettled = true;
  s.outcomeLost = true;
  if (failure.locked) {
    s.out(Channel::Console) << crlf << "INI File is locked: " << path;
    s.out.flushConsole();
    s.platform.process.exit(1);
  }
  ReportRuntimeError(s, failure.what, kUnit, failure.line, failure.cause);
}

// Opens an existing parameter file; a file that is there but cannot be read ends the run.
std::unique_ptr<File> openExisting(RunContext& s, const std::string& path) {
  std::unique_ptr<File> file = s.platform.files.openRead(path);
  if (!file) ReportFileFailure(s, {"Cannot open file " + path, OpenCause(s, path), __LINE__}, path);
  return file;
}

// The file's bytes, read again line by line.
class TextFile : public File {
 public:
  explicit TextFile(const std::string& text) : text_(text) {}
  long read(void* buffer, size_t count) override {
    const size_t n = std::min(count, text_.size() - at_);
    std::copy_n(text_.data() + at_, n, static_cast<char*>(buffer));
    at_ += n;
    return static_cast<long>(n);
  }
  bool write(const void*, size_t) override { return false; }
  bool close() override { return true; }

 private:
  const std::string& text_;
  size_t at_ = 0;
};

void appendAssignment(std::string& out, std::string_view key, std::string_view value, std::string_view lineEnd) {
  out.append(key).append("=").append(value).append(lineEnd);
}

// Writes `contents` to the file at `path`, created or emptied; false when it cannot (`created`
// tells whether the file could be made at all), and then a short file is removed again.
bool WriteWhole(FileSystem& files, Process& process, const std::string& path, const std::string& contents,
                bool& created) {
  std::unique_ptr<File> file = files.create(path);
  created = file != nullptr;
  if (!file) return false;
  BufferedFileWriter out(*file);
  out.write(contents);
  if (out.finish()) return true;
  const int error = process.lastError();
  file.reset();
  files.remove(path);  // a short copy must not be mistaken for the new contents
  process.setLastError(error);
  return false;
}

// Where the folder cannot take the work file (a station's folder that only the file itself
// may be written in), the file is rewritten where it is; a failed rewrite puts the old
// contents back as far as it can.
bool RewriteInPlace(RunContext& s, const std::string& path, const std::string& contents, const std::string& old,
                    FileFailure& failure) {
  FileSystem& files = s.platform.files;
  std::unique_ptr<File> file = files.create(path);
  if (file) {
    BufferedFileWriter out(*file);
    out.write(contents);
    if (out.finish()) return true;
  }
  const int error = s.platform.process.lastError();
  file.reset();
  if (std::unique_ptr<File> back = files.create(path)) {
    BufferedFileWriter restore(*back);
    restore.write(old);
    restore.finish();
  }
  s.platform.process.setLastError(error);
  failure = {"Cannot write file " + path, s.platform.process.errorText(error), __LINE__};
  return false;
}

// Puts the finished work file in place of the parameter file. Renaming over the old file
// replaces it in one step where the platform can, so that a station never finds neither;
// only when that fails is the old file deleted (read-only cleared if need be) first.
bool replaceWithWorkFile(RunContext& s, const std::string& path, const std::string& work) {
  FileSystem& files = s.platform.files;
  if (files.rename(work, path)) return true;
  if (files.exists(path) && !files.remove(path)) {
    files.makeWritable(path);
    if (!files.remove(path)) return false;
  }
  return files.rename(work, path);
}

std::string FolderOf(FileSystem& files, const std::string& file) {
  const size_t cut = file.find_last_of(directorySeparators(files));
  if (cut == std::string::npos) return ".";
  return cut == 0 ? file.substr(0, 1) : file.substr(0, cut);
}

enum class WhenAbsent { Append, Skip };

// key=value into the file, every line of the key replaced; false with the reason when it
// cannot be done. Only a regular file is ever replaced or rewritten: a device, a pipe or a
// folder named as the parameter file stays as it is.
bool PutParameter(RunContext& s, const std::string& file, const std::string& key, const std::string& value,
                  WhenAbsent absent, FileFailure& failure) {
  FileSystem& files = s.platform.files;
  const PathKind kind = files.kind(file);
  if (kind != PathKind::Missing && kind != PathKind::File) {
    failure = {"Cannot write file " + file, NotAFile(file, kind), __LINE__};
    return false;
  }
  const size_t cut = file.find_last_of(directorySeparators(files));
  if (kind == PathKind::Missing && cut != std::string::npos && cut > 0) files.createDirectory(file.substr(0, cut));

  // The new contents; a missing file is read as an empty one.
  std::string old;
  std::string contents;
  bool found = false;
  // Lines written end as the file's own do: LF in a file that has only LF line ends.
  std::string_view lineEnd = crlf;
  if (kind == PathKind::File) {
    std::unique_ptr<File> in = files.openRead(file);
    if (!in) {
      failure = {"Cannot open file " + file, OpenCause(s, file), __LINE__};
      return false;
    }
    std::vector<char> block(65536);
    long n;
    while ((n = in->read(block.data(), block.size())) > 0) old.append(block.data(), static_cast<size_t>(n));
    in->close();
    if (n < 0) {
      failure = {"Cannot read file " + file, LastErrorText(s), __LINE__};
      return false;
    }
    TextFile text(old);
    ParameterLineReader reader(text);
    std::string line;
    bool first = true;
    while (reader.next(line) == ParameterLineReader::Result::Line) {
      if (first && reader.byteOrderMark()) contents.append("\xEF\xBB\xBF");
      first = false;
      lineEnd = reader.lineEnd();
      if (ParameterLineKey(line) == key) {
        appendAssignment(contents, key, value, lineEnd);
        found = true;
      } else {
        contents.append(line).append(lineEnd);
      }
    }
  }
  if (!found) {
    if (absent == WhenAbsent::Skip) return true;
    appendAssignment(contents, key, value, lineEnd);
  }
  if (absent == WhenAbsent::Skip && contents == old) return true;  // nothing to remove

  const std::string work = file + ".000";
  bool created = false;
  if (!WriteWhole(files, s.platform.process, work, contents, created)) {
    const int error = s.platform.process.lastError();
    if (!created && kind == PathKind::File && !files.isWritableDirectory(FolderOf(files, file))) {
      return RewriteInPlace(s, file, contents, old, failure);
    }
    failure = {(created ? "Cannot write file " : "Cannot create file ") + work, s.platform.process.errorText(error),
               __LINE__};
    return false;
  }
  if (!replaceWithWorkFile(s, file, work)) {
    failure = {"INI File is locked: " + file, LastErrorText(s), __LINE__, true};
    return false;
  }
  return true;
}

}  // namespace

DynamicString IniGetString(RunContext& s, const std::string& file, const std::string& key) {
  if (file.empty() || !s.platform.files.exists(file)) return s.text();
  std::unique_ptr<File> in = openExisting(s, file);
  ParameterLineReader reader(*in);
  std::string line;
  for (;;) {
    switch (reader.next(line)) {
      case ParameterLineReader::Result::Line:
        if (ParameterLineKey(line) == key) {
          in->close();
          return s.text(ParameterLineValue(line));
        }
        break;
      case ParameterLineReader::Result::End:
        in->close();
        return s.text();
      case ParameterLineReader::Result::Error:
        ReportFileFailure(s, {"Cannot read file " + file, LastErrorText(s), __LINE__}, file);
    }
  }
}

void IniPutString(RunContext& s, const std::string& file, const std::string& key, const std::string& value) {
  if (file.empty()) return;
  FileFailure failure;
  if (!PutParameter(s, file, key, value, WhenAbsent::Append, failure)) ReportFileFailure(s, failure, file);
}

bool StoreOutcome(RunContext& s, std::string_view message) {
  s.outcomeSettled = true;
  const std::string& file = s.options.parameterFile;
  if (file.empty()) return true;
  FileFailure failure;
  // Success removes an earlier run's message, and adds no empty one to a file without it.
  const WhenAbsent absent = message.empty() ? WhenAbsent::Skip : WhenAbsent::Append;
  if (PutParameter(s, file, "Message", std::string(message), absent, failure)) return true;
  s.outcomeLost = true;
  s.out.console().beginLine();
  s.out(Channel::Always) << "The outcome could not be stored in " << file << crlf << failure.what << crlf
                         << failure.cause << crlf;
  return false;
}

bool IniGetBool(RunContext& s, const std::string& file, const std::string& key) {
  const std::string value = IniGetString(s, file, key).str();
  if (value == "1") return true;
  if (value.size() != 4) return false;
  std::string upper = value;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  return upper == "TRUE";
}

void IniPutBool(RunContext& s, const std::string& file, const std::string& key, bool flag) {
  IniPutString(s, file, key, flag ? "true" : "false");
}

int32_t IniGetInt(RunContext& s, const std::string& file, const std::string& key) {
  return parseClampedDecimal<int32_t>(IniGetString(s, file, key));
}

void IniPutInt(RunContext& s, const std::string& file, const std::string& key, int32_t number) {
  IniPutString(s, file, key, decimalText(number));
}

}  // namespace kl
