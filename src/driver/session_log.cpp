#include "driver/session_log.h"

#include <set>

#include "driver/fatal_error.h"
#include "driver/program_folders.h"
#include "driver/run_context.h"
#include "driver/settings.h"

namespace kl {

namespace {

constexpr size_t kLogLineWidth = 58;
constexpr std::string_view kLogFileLabel = "   LogFile         : ";

std::string TwoDigits(int value) { return zeroFilled(value, 2); }

void WriteLogFileLine(RunContext& s, const std::string& path) {
  ChannelWriter& console = s.out(Channel::Console);
  console << kLogFileLabel;
  if (path.size() > kLogLineWidth) {
    console << path.substr(0, kLogLineWidth) << crlf << std::string(kLogFileLabel.size(), ' ')
            << path.substr(kLogLineWidth) << crlf;
  } else {
    console << path << crlf;
  }
}

// Deleting tries the file as it is, then again after making it writable.
bool DeleteLog(FileSystem& files, const std::string& path) {
  if (files.remove(path)) return true;
  files.makeWritable(path);
  return files.remove(path);
}

}  // namespace

std::string SessionLogName(const LocalTime& now) {
  return "20" + TwoDigits(now.year - 2000) + "-" + TwoDigits(now.month) + "-" + TwoDigits(now.day) + " " +
         TwoDigits(now.hour) + "-" + TwoDigits(now.minute) + "-" + TwoDigits(now.second) + ".log";
}

bool IsOldLogName(const std::string& name, const LocalTime& now) {
  const std::string year = "20" + TwoDigits(now.year - 2000);
  if (name.compare(0, 4, year) != 0) return now.month > 2;
  if (name.compare(0, 7, year + "-" + TwoDigits(now.month)) == 0) return false;
  const int fileMonth = name.size() > 5 ? static_cast<int>(parseLeadingDecimal(name.substr(5, 2))) : 0;
  const int age = now.month - fileMonth;
  return age > 2 || age < 0;
}

void CleanUpOldLogs(RunContext& s, const std::string& directory, const LocalTime& now) {
  FileSystem& files = s.platform.files;
  const std::string lockPath = directory + files.separator() + "Cleanup.lck";
  std::unique_ptr<File> lock = files.createExclusive(lockPath);
  if (!lock) return;  // another run is cleaning, or a stale lock disables the clean-up

  // Files that resisted deletion are passed over for the rest of this clean-up.
  std::set<std::string> undeletable;
  for (;;) {
    std::vector<DirEntry> entries;
    if (!files.list(directory, "20*.log", entries)) {
      lock.reset();
      files.remove(lockPath);
      FatalError(s, "Cannot open directory: " + directory);
    }
    const DirEntry* old = nullptr;
    for (const DirEntry& entry : entries) {
      if (entry.attributes & (fileattr::Directory | fileattr::Hidden | fileattr::System)) continue;
      if (entry.name == "." || entry.name == ".." || undeletable.count(entry.name)) continue;
      if (IsOldLogName(entry.name, now)) {
        old = &entry;
        break;
      }
    }
    if (!old) break;
    const std::string path = directory + files.separator() + old->name;
    s.out(Channel::Console) << "Deleting old log file: " << path << crlf;
    if (!DeleteLog(files, path)) undeletable.insert(old->name);
  }
  lock->close();
  lock.reset();
  files.remove(lockPath);
}

std::string SessionLogDirectory(RunContext& s) { return ProgramFolder(s, "LogFiles"); }

void OpenSessionLog(RunContext& s) {
  FileSystem& files = s.platform.files;
  const std::string directory = SessionLogDirectory(s);
  const LocalTime now = s.platform.clock.localTime();
  if (now.day > 21) CleanUpOldLogs(s, directory, now);

  s.sessionLogPath = s.text(directory + files.separator() + SessionLogName(now));
  const std::string path = s.sessionLogPath.str();
  WriteLogFileLine(s, path);

  std::unique_ptr<File> file = files.create(path);
  if (!file) {
    Process& process = s.platform.process;
    int error = process.lastError();
    // A folder that could not be made is the cause, not the file missing in it.
    std::string folder;
    if (!files.isDirectory(directory)) {
      folder = MakeFolders(s, directory);
      if (!folder.empty()) error = process.lastError();
    }
    const std::string reason = process.errorText(error);
    s.out(Channel::Console) << crlf << "Cannot create file: " << path << crlf;
    if (!folder.empty()) s.out(Channel::Console) << "Cannot create folder: " << folder << crlf;
    s.out.console().endLine();  // the reason goes to the other stream, on a line of its own
    s.platform.console.writeError("Fatal error: " + reason + "\r\n");
    EndRun(s, 1, "Cannot create the session log " + path + " (" + reason + ")");
  }

  SessionLog& log = s.out.log();
  log.attach(std::move(file));
  s.sessionLogFailure.clear();
  log.onWriteFailure = [&s, path] {
    // A full disk must not end a run that may be half way through programming a unit: say so
    // once and go on with the console alone; the end of the run says it again.
    s.sessionLogFailure = s.platform.process.errorText(s.platform.process.lastError());
    s.out(Channel::Console) << crlf << "Cannot write log file: " << path << crlf << s.sessionLogFailure << crlf;
  };

  for (const std::string& argument : s.arguments) log.writeRaw(argument + " ");
  Environment& environment = s.platform.environment;
  s.out(Channel::LogOnly) << crlf << "COMPUTERNAME=" << environment.get(std::string(envvar::ComputerName)) << crlf
                          << "USERNAME=" << environment.get(std::string(envvar::UserName)) << crlf;
}

void CloseSessionLog(RunContext& s) {
  SessionLog& log = s.out.log();
  if (!log.isOpen()) return;
  log.writeRaw(crlf);
  log.close();
  if (s.sessionLogFailure.empty()) return;
  s.out.console().beginLine();
  s.out(Channel::Console) << "The session log is incomplete: " << s.sessionLogPath.str() << crlf
                          << s.sessionLogFailure << crlf;
}

}  // namespace kl
