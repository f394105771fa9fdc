#include "driver/parameter_file.h"

#include <algorithm>
#include <limits>

#include "Pellmar/writers.h"
#include "driver/parameter_lines.h"
#include "driver/runtime_errors.h"
#include "driver/session.h"

namespace kl {
namespace {

constexpr std::string_view kUnit = "parameter_file";

// Characters that end the directory part of a path. On Windows a drive colon and both
// slashes do; elsewhere "\" and ":" are ordinary file-name characters.
std::string_view directorySeparators(FileSystem& files) {
  return files.separator() == '\\' ? std::string_view("\\/:") : std::string_view("/");
}

[[noreturn]] void fileFailure(Session& s, std::string_view what, const std::string& path, int line) {
  Process& process = s.platform.process;
  std::string message(what);
  message += path;
  message += " (";
  message += process.errorText(process.lastError());
  message += ")";
  ReportRuntimeError(s, message, kUnit, line);
}

// Opens an existing parameter file; a file that is there but cannot be read ends the run.
std::unique_ptr<File> openExisting(Session& s, const std::string& path) {
  std::unique_ptr<File> file = s.platform.files.openRead(path);
  if (!file) fileFailure(s, "Cannot open file ", path, __LINE__);
  return file;
}

void appendAssignment(BufferedFileWriter& out, std::string_view key, std::string_view value,
                      std::string_view lineEnd) {
  out.write(key);
  out.write("=");
  out.write(value);
  out.write(lineEnd);
}

void reportLocked(Session& s, const std::string& path) {
  s.out(Channel::Console) << crlf << "INI File is locked: " << path;
  s.out.flushConsole();
  s.platform.process.exit(1);
}

// Puts the finished work file in place of the parameter file. Renaming over the old file
// replaces it in one step where the platform can, so that a station never finds neither;
// only when that fails is the old file deleted (read-only cleared if need be) first.
void replaceWithWorkFile(Session& s, const std::string& path, const std::string& work) {
  FileSystem& files = s.platform.files;
  if (files.rename(work, path)) return;
  if (files.exists(path) && !files.remove(path)) {
    files.makeWritable(path);
    if (!files.remove(path)) reportLocked(s, path);
  }
  if (!files.rename(work, path)) reportLocked(s, path);
}

}  // namespace

DynamicString IniGetString(Session& s, const std::string& file, const std::string& key) {
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
        fileFailure(s, "Cannot read file ", file, __LINE__);
    }
  }
}

void IniPutString(Session& s, const std::string& file, const std::string& key, const std::string& value) {
  if (file.empty()) return;
  FileSystem& files = s.platform.files;

  const size_t cut = file.find_last_of(directorySeparators(files));
  if (cut != std::string::npos && cut > 0) files.createDirectory(file.substr(0, cut));

  // A missing file is copied as an empty one: the result is the single new line, and it
  // goes into place the same way as any rewrite.
  std::unique_ptr<File> in;
  if (files.exists(file)) in = openExisting(s, file);

  const std::string work = file + ".000";
  std::unique_ptr<File> outFile = files.create(work);
  if (!outFile) fileFailure(s, "Cannot create file ", work, __LINE__);
  BufferedFileWriter out(*outFile);

  bool found = false;
  // Lines written end as the file's own do: LF in a file that has only LF line ends.
  std::string_view lineEnd = crlf;
  if (in) {
    ParameterLineReader reader(*in);
    std::string line;
    ParameterLineReader::Result result;
    bool first = true;
    while ((result = reader.next(line)) == ParameterLineReader::Result::Line) {
      if (first && reader.byteOrderMark()) out.write("\xEF\xBB\xBF");
      first = false;
      lineEnd = reader.lineEnd();
      if (ParameterLineKey(line) == key) {
        appendAssignment(out, key, value, lineEnd);
        found = true;
      } else {
        out.write(line);
        out.write(lineEnd);
      }
    }
    if (result == ParameterLineReader::Result::Error) {
      const int error = s.platform.process.lastError();
      outFile.reset();
      files.remove(work);  // a partial copy must not be mistaken for the new contents
      s.platform.process.setLastError(error);
      fileFailure(s, "Cannot read file ", file, __LINE__);
    }
    in->close();
  }
  if (!found) appendAssignment(out, key, value, lineEnd);

  if (!out.finish()) {
    // A short work file (a full disk) never replaces the old one.
    const int error = s.platform.process.lastError();
    outFile.reset();
    files.remove(work);
    s.platform.process.setLastError(error);
    fileFailure(s, "Cannot write file ", work, __LINE__);
  }
  outFile.reset();
  in.reset();
  replaceWithWorkFile(s, file, work);
}

bool IniGetBool(Session& s, const std::string& file, const std::string& key) {
  const std::string value = IniGetString(s, file, key).str();
  if (value == "1") return true;
  if (value.size() != 4) return false;
  std::string upper = value;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  return upper == "TRUE";
}

void IniPutBool(Session& s, const std::string& file, const std::string& key, bool flag) {
  IniPutString(s, file, key, flag ? "true" : "false");
}

int32_t IniGetInt(Session& s, const std::string& file, const std::string& key) {
  return parseClampedDecimal<int32_t>(IniGetString(s, file, key));
}

void IniPutInt(Session& s, const std::string& file, const std::string& key, int32_t number) {
  IniPutString(s, file, key, decimalText(number));
}

}  // namespace kl
