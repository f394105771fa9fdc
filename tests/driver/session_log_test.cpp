#include <gtest/gtest.h>
#include <stdexcept>

#include "driver/command_line.h"
#include "driver/session_log.h"
#include "driver_fixture.h"

namespace kl::test {
namespace {

class SessionLogTest : public DriverTest {
 protected:
  void open(std::vector<std::string> options = {}) {
    ASSERT_TRUE(ParseCommandLine(options, session.givenOptions()));
    session.arguments = {"kestrelink"};
    OpenSessionLog(session);
    ASSERT_TRUE(session.out.log().isOpen());
  }
  void setDate(int year, int month, int day) { sim.clock.setLocalTime(LocalTime{year, month, day, 9, 30, 0}); }
  void makeLogs(std::initializer_list<const char*> names) {
    std::filesystem::create_directories(logDirectory());
    for (const char* name : names) writeFile(logDirectory() + "/" + name, "old\r\n");
  }
  bool present(const std::string& name) { return std::filesystem::exists(logDirectory() + "/" + name); }
};

TEST_F(SessionLogTest, NameIsTheLocalDateAndTime) {
  EXPECT_EQ(SessionLogName(LocalTime{2026, 12, 6, 11, 12, 17}), "2026-12-06 11-12-17.log");
  EXPECT_EQ(SessionLogName(LocalTime{2003, 1, 2, 3, 4, 5}), "2003-01-02 03-04-05.log");
}

TEST_F(SessionLogTest, LinesAreStampedWithMillisecondsSinceTheLogOpened) {
  open();
  sim.clock.sleep(1234);
  session.out(Channel::LogOnly) << "first\r\nsecond\n";
  sim.clock.sleep(1000000);
  session.out(Channel::LogOnly) << "\r\nlate";
  CloseSessionLog(session);
  CloseSessionLog(session);  // a second close does nothing
  EXPECT_EQ(logText(),
            "kestrelink \r\n000000: COMPUTERNAME=\r\n000000: USERNAME=\r\n000000: first\r\n001234: second\r\n"
            "1001234: late\r\n");
}

TEST_F(SessionLogTest, TextIsWrittenInBlocksOf32768Bytes) {
  open();
  const std::string path = logDirectory() + "/" + SessionLogName(sim.clock.localTime());
  session.out(Channel::LogOnly) << std::string(20000, 'a');
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  session.out(Channel::LogOnly) << std::string(20000, 'b');
  EXPECT_EQ(std::filesystem::file_size(path), 32768u);
  CloseSessionLog(session);
  EXPECT_GT(std::filesystem::file_size(path), 40000u);
}

TEST_F(SessionLogTest, ChannelsFollowTheOptions) {
  struct Case {
    std::vector<std::string> options;
    const char* console;
  };
  const Case cases[] = {
      {{}, "C A I "},
      {{"-s"}, "C A "},
      {{"-d"}, "C A I D "},
      {{"-dd", "-s"}, "C A D T "},
  };
  for (const Case& c : cases) {
    TempDir root;
    std::filesystem::create_directories(root.file("bin"));
    SimPlatform machine{root.path()};
    Session s{machine.platform};
    ASSERT_TRUE(ParseCommandLine(c.options, s.givenOptions()));
    OpenSessionLog(s);
    machine.console.clearOutput();
    s.out(Channel::Console) << "C ";
    s.out(Channel::LogOnly) << "L ";
    s.out(Channel::Always) << "A ";
    s.out(Channel::Info) << "I ";
    s.out(Channel::Debug) << "D ";
    s.out(Channel::DetailedDebug) << "T ";
    CloseSessionLog(s);
    // The line end of the LogFile line comes first: it waited for more output.
    EXPECT_EQ(machine.console.output(), std::string("\r\n") + c.console);
    const std::string log = readFile(root.file("bin/LogFiles/" + SessionLogName(machine.clock.localTime())));
    EXPECT_NE(log.find("L A I D T "), std::string::npos) << log;
    EXPECT_EQ(log.find("C "), std::string::npos);
  }
}

TEST_F(SessionLogTest, CombinedChannelsReachOnlyTheConsoleWhileTheLogIsClosed) {
  session.out(Channel::Always) << "before";
  open();
  CloseSessionLog(session);
  session.out(Channel::Always) << "after";
  EXPECT_EQ(logText().find("before"), std::string::npos);
  EXPECT_EQ(logText().find("after"), std::string::npos);
  EXPECT_NE(console().find("before"), std::string::npos);
  EXPECT_NE(console().find("after"), std::string::npos);
}

TEST_F(SessionLogTest, LogFileLineWrapsAfter58Characters) {
  // A relative program folder inside the temporary one gives paths of an exact length.
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string name = "/bin/LogFiles/2026-12-07 10-00-00.log";
  for (size_t length : {58u, 59u}) {
    const std::string base(length - name.size(), 'x');
    std::filesystem::create_directories(base + "/bin");
    SimPlatform machine{base};
    Session s{machine.platform};
    OpenSessionLog(s);
    s.out.flushConsole();
    const std::string path = base + name;
    ASSERT_EQ(path.size(), length);
    const std::string expected = length == 58 ? "   LogFile         : " + path + "\r\n"
                                              : "   LogFile         : " + path.substr(0, 58) + "\r\n" +
                                                    std::string(21, ' ') + path.substr(58) + "\r\n";
    // The last line end waits for more output.
    EXPECT_EQ(machine.console.output() + "\r\n", expected);
    CloseSessionLog(s);
  }
  std::filesystem::current_path(previous);
}

TEST_F(SessionLogTest, FallsBackToTheStateFolderWhenBesideTheProgramIsNotWritable) {
  // A file where the folder should be stands for a folder that cannot be made or written.
  writeFile(dir.file("bin/LogFiles"), "");
  open();
  CloseSessionLog(session);
  EXPECT_TRUE(std::filesystem::exists(dir.file("state/LogFiles/2026-12-07 10-00-00.log")));
}

TEST_F(SessionLogTest, UncreatableFileEndsTheRunWithOne) {
  std::filesystem::create_directories(logDirectory() + "/2026-12-07 10-00-00.log");  // a folder in the way
  session.arguments = {"kestrelink"};
  EXPECT_EQ(exitCodeOf([&] { OpenSessionLog(session); }), 1);
  const std::string path = logDirectory() + "/2026-12-07 10-00-00.log";
  EXPECT_NE(console().find("\r\n\r\nCannot create file: " + path), std::string::npos) << console();
  EXPECT_EQ(sim.console.errorOutput().rfind("Fatal error: ", 0), 0u);
  EXPECT_GT(sim.console.errorOutput().size(), std::string("Fatal error: ").size());
}

// A log file on a disk that has just filled up: every write fails.
class FullDiskFile : public File {
 public:
  explicit FullDiskFile(Process& process) : process_(process) {}
  long read(void*, size_t) override { return -1; }
  bool write(const void*, size_t) override {
    process_.setLastError(oserr::DiskFull);
    return false;
  }
  bool close() override { return true; }

 private:
  Process& process_;
};

TEST_F(SessionLogTest, FullDiskIsReportedOnceAndTheRunGoesOn) {
  open();
  session.out.log().attach(std::make_unique<FullDiskFile>(sim.process));
  for (int i = 0; i < 3; ++i) session.out(Channel::Info) << std::string(40000, 'x') << crlf;
  const std::string path = logDirectory() + "/2026-12-07 10-00-00.log";
  // The cause on a line of its own, where the failure happened (after text that had not ended
  // its line) and again at the end of the run.
  const std::string report = "x\r\nCannot write log file: " + path + "\r\nThere is not enough space on the disk.\r\n";
  const std::string atTheEnd = "The session log is incomplete: " + path + "\r\nThere is not enough space on the disk.\r\n";
  session.out(Channel::Info) << "before the end";
  CloseSessionLog(session);
  session.out(Channel::Always) << "still here";
  const std::string& out = console();
  ASSERT_NE(out.find(report), std::string::npos) << out.substr(out.size() > 40000 ? 39900 : 0, 300);
  EXPECT_EQ(out.find(report), out.rfind(report));
  EXPECT_NE(out.find("before the end\r\n" + atTheEnd + "still here"), std::string::npos)
      << out.substr(out.size() - 200);
  EXPECT_FALSE(session.out.log().healthy());
}

// ---- clean-up of old logs ----

TEST_F(SessionLogTest, NoCleanUpUpToThe21st) {
  makeLogs({"2025-01-01 00-00-00.log"});
  setDate(2026, 6, 21);
  open();
  EXPECT_TRUE(present("2025-01-01 00-00-00.log"));
}

TEST_F(SessionLogTest, CleanUpFromThe22nd) {
  makeLogs({"2025-01-01 00-00-00.log"});
  setDate(2026, 6, 22);
  open();
  EXPECT_FALSE(present("2025-01-01 00-00-00.log"));
  EXPECT_FALSE(present("Cleanup.lck"));
  EXPECT_NE(console().find("Deleting old log file: " + logDirectory() + "/2025-01-01 00-00-00.log\r\n"),
            std::string::npos);
}

TEST_F(SessionLogTest, EarlierYearsStayInJanuaryAndFebruary) {
  makeLogs({"2025-12-01 00-00-00.log", "2025-03-01 00-00-00.log"});
  setDate(2026, 2, 25);
  open();
  EXPECT_TRUE(present("2025-12-01 00-00-00.log"));
  EXPECT_TRUE(present("2025-03-01 00-00-00.log"));
}

TEST_F(SessionLogTest, EarlierYearsGoFromMarchOn) {
  makeLogs({"2025-12-01 00-00-00.log", "2024-03-01 00-00-00.log"});
  setDate(2026, 3, 22);
  open();
  EXPECT_FALSE(present("2025-12-01 00-00-00.log"));
  EXPECT_FALSE(present("2024-03-01 00-00-00.log"));
}

TEST_F(SessionLogTest, On25MayTheLastThreeMonthsStay) {
  makeLogs({"2026-05-01 00-00-00.log", "2026-04-30 00-00-00.log", "2026-03-01 00-00-00.log",
            "2026-02-28 00-00-00.log", "2026-01-01 00-00-00.log", "2026-06-01 00-00-00.log",
            "notalog.log", "2026-01-01 00-00-00.txt"});
  setDate(2026, 5, 25);
  open();
  EXPECT_TRUE(present("2026-05-01 00-00-00.log"));
  EXPECT_TRUE(present("2026-04-30 00-00-00.log"));
  EXPECT_TRUE(present("2026-03-01 00-00-00.log"));
  EXPECT_FALSE(present("2026-02-28 00-00-00.log"));
  EXPECT_FALSE(present("2026-01-01 00-00-00.log"));
  EXPECT_FALSE(present("2026-06-01 00-00-00.log"));  // a month later than this one
  EXPECT_TRUE(present("notalog.log"));
  EXPECT_TRUE(present("2026-01-01 00-00-00.txt"));
}

TEST_F(SessionLogTest, LeftoverLockDisablesTheCleanUp) {
  makeLogs({"2025-01-01 00-00-00.log"});
  writeFile(logDirectory() + "/Cleanup.lck", "");
  setDate(2026, 6, 23);
  open();
  EXPECT_TRUE(present("2025-01-01 00-00-00.log"));
  EXPECT_TRUE(present("Cleanup.lck"));
}

// Forwards to the real files but refuses to delete the names it is given.
class RefusingFiles : public FileSystem {
 public:
  RefusingFiles(FileSystem& inner, std::string refused) : inner_(inner), refused_(std::move(refused)) {}
  std::string programPath() override { return inner_.programPath(); }
  char separator() const override { return inner_.separator(); }
  bool createDirectory(const std::string& p) override {
    if (p != refusedFolder) return inner_.createDirectory(p);
    process->setLastError(oserr::AccessDenied);  // a folder this user may not write in
    return false;
  }
  bool isDirectory(const std::string& p) override { return inner_.isDirectory(p); }
  bool exists(const std::string& p) override { return inner_.exists(p); }
  bool isWritableDirectory(const std::string& p) override { return inner_.isWritableDirectory(p); }
  std::unique_ptr<File> openRead(const std::string& p) override { return inner_.openRead(p); }
  std::unique_ptr<File> create(const std::string& p) override { return inner_.create(p); }
  std::unique_ptr<File> createExclusive(const std::string& p) override { return inner_.createExclusive(p); }
  bool list(const std::string& d, const std::string& p, std::vector<DirEntry>& e) override {
    return inner_.list(d, p, e);
  }
  bool remove(const std::string& p) override {
    if (p.size() < refused_.size() || p.compare(p.size() - refused_.size(), refused_.size(), refused_) != 0)
      return inner_.remove(p);
    if (++refusals > 100) throw std::runtime_error("the clean-up keeps trying the same file");
    return false;
  }
  bool makeWritable(const std::string& p) override { return inner_.makeWritable(p); }
  bool rename(const std::string& f, const std::string& t) override { return inner_.rename(f, t); }
  std::string stateDirectory() override { return inner_.stateDirectory(); }

  int refusals = 0;
  std::string refusedFolder;  // a folder that cannot be made
  Process* process = nullptr;

 private:
  FileSystem& inner_;
  std::string refused_;
};

TEST_F(SessionLogTest, UndeletableOldLogIsPassedOverWithoutLooping) {
  makeLogs({"2025-01-01 00-00-00.log", "2025-02-02 00-00-00.log", "2025-03-03 00-00-00.log"});
  std::filesystem::create_directories(logDirectory() + "/2024-01-01 00-00-00.log");  // folders are skipped
  writeFile(logDirectory() + "/.2024-01-01.log", "");                                  // so are hidden files
  RefusingFiles files(sim.files, "2025-02-02 00-00-00.log");
  Platform platform{sim.clock, sim.console, files, sim.environment, sim.registry, sim.processes, sim.process,
                    sim.serial};
  Session s{platform};
  s.arguments = {"kestrelink"};
  setDate(2026, 6, 23);
  OpenSessionLog(s);
  CloseSessionLog(s);
  EXPECT_FALSE(present("2025-01-01 00-00-00.log"));
  EXPECT_TRUE(present("2025-02-02 00-00-00.log"));
  EXPECT_FALSE(present("2025-03-03 00-00-00.log"));
  EXPECT_TRUE(present("2024-01-01 00-00-00.log"));
  EXPECT_FALSE(present("Cleanup.lck"));
  // Tried as it is and once more after making it writable, then given up on, silently.
  EXPECT_EQ(files.refusals, 2);
  const std::string& out = console();
  const std::string line = "Deleting old log file: " + logDirectory() + "/2025-02-02 00-00-00.log";
  EXPECT_EQ(out.find(line), out.rfind(line));
  EXPECT_EQ(out.find("2024-01-01"), std::string::npos);
}

// A log folder that cannot be made: its cause, not the file's "not found", on a line of its
// own on the other stream; a station's file takes the failure as the run's outcome.
TEST_F(SessionLogTest, FolderThatCannotBeMadeIsTheCauseOnALineOfItsOwn) {
  writeFile(dir.file("bin/LogFiles"), "");  // beside the program: no folder to be had
  RefusingFiles files(sim.files, "no file is refused");
  files.refusedFolder = dir.file("state");
  files.process = &sim.process;
  Platform platform{sim.clock, sim.console, files, sim.environment, sim.registry, sim.processes, sim.process,
                    sim.serial};
  Session s{platform};
  const std::string ini = dir.file("station.ini");
  writeFile(ini, "Ostrevan=1\r\nMessage=an earlier failure\r\n");
  s.givenOptions().parameterFile = ini;
  s.run.manufacturingMode = true;
  s.arguments = {"kestrelink"};
  EXPECT_EQ(exitCodeOf([&] { OpenSessionLog(s); }), 1);
  const std::string path = dir.file("state/LogFiles/2026-12-07 10-00-00.log");
  EXPECT_NE(sim.console.transcript().find("\r\nCannot create file: " + path + "\r\nCannot create folder: " +
                                          dir.file("state") + "\r\nFatal error: Access is denied.\r\n"),
            std::string::npos)
      << sim.console.transcript();
  EXPECT_EQ(readFile(ini), "Ostrevan=1\r\nMessage=Cannot create the session log " + path + " (Access is denied.)\r\n");
}

}  // namespace
}  // namespace kl::test
