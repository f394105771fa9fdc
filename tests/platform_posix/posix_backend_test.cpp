#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <atomic>
#include <string>
#include <iterator>
#include <fstream>
#include <filesystem>
#include <thread>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_environment.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/posix_process.h"
#include "platform/sim/sim_platform.h"
#include "support/child_program.h"
#include "support/temp_dir.h"

namespace kl {
namespace {

// The names the log header shows come from the variables a Windows console has, then from
// the usual POSIX ones, then from the system itself.
TEST(PosixEnvironment, MachineAndUserNamesFallBackToTheSystemsOwn) {
  ::unsetenv("COMPUTERNAME");
  ::unsetenv("USERNAME");
  ::setenv("HOSTNAME", "station", 1);
  ::setenv("USER", "op", 1);
  PosixEnvironment environment;
  EXPECT_EQ(environment.get("COMPUTERNAME"), "station");
  EXPECT_EQ(environment.get("USERNAME"), "op");
  ::unsetenv("HOSTNAME");
  ::unsetenv("USER");
  ::unsetenv("LOGNAME");
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(environment.get("COMPUTERNAME"), host);
  const passwd* self = ::getpwuid(::geteuid());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(environment.get("USERNAME"), self->pw_name);
  ::setenv("USERNAME", "tech", 1);
  EXPECT_EQ(environment.get("USERNAME"), "tech");
}

TEST(PosixConsoleKeys, EachByteOfAPipeIsAKeyAndTheEndReturnsAtOnce) {
  test::TestPipe input;
  test::TestPipe output;
  PosixConsole console(nullptr, input.readEnd(), output.writeEnd(), output.writeEnd());
  EXPECT_FALSE(console.keyAvailable());
  input.write("y\x1b");
  EXPECT_TRUE(console.keyAvailable());
  EXPECT_TRUE(console.keyAvailable());  // asking again does not lose the key
  EXPECT_EQ(console.readKey(), 'y');
  EXPECT_EQ(console.readKey(), 27);
  input.closeWriteEnd();
  EXPECT_FALSE(console.keyAvailable());
  EXPECT_EQ(console.readKey(), -1);
  EXPECT_EQ(console.readKey(), -1);
}

TEST(PosixConsoleKeys, SpecialKeysOfATerminalNeverReadAsEscape) {
  test::TestPipe input;
  test::TestPipe output;
  PosixConsole console(nullptr, input.readEnd(), output.writeEnd(), output.writeEnd());
  console.setTerminalKeys(true);
  input.write("\x1b[A\x1b[15~a\x1bOPb");
  EXPECT_EQ(console.readKey(), PosixConsole::kSpecialKey);  // up arrow
  EXPECT_EQ(console.readKey(), PosixConsole::kSpecialKey);  // F5
  EXPECT_EQ(console.readKey(), 'a');
  EXPECT_TRUE(console.keyAvailable());
  EXPECT_EQ(console.readKey(), PosixConsole::kSpecialKey);  // F1
  EXPECT_EQ(console.readKey(), 'b');
  input.write("\x1b");  // Escape alone
  EXPECT_TRUE(console.keyAvailable());
  EXPECT_EQ(console.readKey(), 27);
  // From a pipe every byte is a key of its own.
  console.setTerminalKeys(false);
  input.write("\x1b[");
  EXPECT_EQ(console.readKey(), 27);
  EXPECT_EQ(console.readKey(), '[');
}

TEST(PosixConsoleOutput, TextWaitsForFlush) {
  test::TestPipe input;
  test::TestPipe output;
  {
    PosixConsole console(nullptr, input.readEnd(), output.writeEnd(), output.writeEnd());
    console.write("held");
    console.writeError("!");  // standard error first writes out what standard output holds
    console.write(" back");
    console.flush();
  }
  output.closeWriteEnd();
  EXPECT_EQ(output.readAll(), "held! back");
}

// The run's last line is ended in a pipe as on a terminal: a script that reads lines would lose
// "-- stopped"; output that already ends its line gets no blank line.
TEST(PosixConsoleOutput, TheLastLineIsEndedInAPipeToo) {
  struct Row {
    const char* written;
    const char* read;
  };
  for (const Row& row : {Row{"-- stopped", "-- stopped\r\n"}, Row{"continue\r\n", "continue\r\n"}, Row{"", ""}}) {
    SCOPED_TRACE(row.written);
    test::TestPipe input;
    test::TestPipe output;
    {
      PosixConsole console(nullptr, input.readEnd(), output.writeEnd(), output.writeEnd());
      console.write(row.written);
      console.endLastLine();
    }
    output.closeWriteEnd();
    EXPECT_EQ(output.readAll(), row.read);
  }
}

// What a name is decides whether the parameter file may be written there.
TEST(PosixFiles, KindsOfNames) {
  test::TempDir dir;
  PosixProcess process(false);
  PosixFileSystem files(process, dir.file("kestrelink"), dir.path());
  { std::ofstream(dir.file("station.ini")) << "Ostrevan=1\r\n"; }
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ::symlink("/dev/null", dir.file("to-null").c_str());
  EXPECT_EQ(files.kind(dir.file("station.ini")), PathKind::File);
  EXPECT_EQ(files.kind(dir.path()), PathKind::Folder);
  EXPECT_EQ(files.kind("/dev/null"), PathKind::Device);
  EXPECT_EQ(files.kind(dir.file("to-null")), PathKind::Device) << "a link is what it names";
  EXPECT_EQ(files.kind(dir.file("fifo")), PathKind::Other);
  EXPECT_EQ(files.kind(dir.file("absent")), PathKind::Missing);
}

// Files in shared folders (/tmp): a link planted where the program creates its lock, work or
// exchange file must never make it write elsewhere; a private file is the owner's alone.
TEST(PosixFiles, PlantedLinksAreNeverFollowedAndPrivateFilesAreTheOwners) {
  test::TempDir dir;
  PosixProcess process(false);
  PosixFileSystem files(process, dir.file("kestrelink"), dir.path());
  const std::string victim = dir.file("victim");
  { std::ofstream(victim) << "keep"; }
  ::symlink(victim.c_str(), dir.file("to-victim").c_str());
  ::symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str());
  for (const char* link : {"to-victim", "dangling"}) {
    SCOPED_TRACE(link);
    EXPECT_EQ(files.create(dir.file(link)), nullptr);
    EXPECT_EQ(files.createPrivate(dir.file(link)), nullptr);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
  std::ifstream kept(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");

  ASSERT_NE(files.createPrivate(dir.file("exchange")), nullptr);
  struct stat st {};
  ASSERT_EQ(::lstat(dir.file("exchange").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(files.createPrivate(dir.file("exchange")), nullptr);  // never an existing file
}

TEST(PosixProcesses, ReturnsTheExitCodeOrMinusOne) {
  PosixProcesses processes(nullptr);
  EXPECT_EQ(processes.run("/bin/sh", {"-c", "exit 3"}), 3);
  EXPECT_EQ(processes.run("/bin/sh", {"-c", "exit 0"}), 0);
  EXPECT_EQ(processes.run("/nonexistent/tool", {}), -1);
}

TEST(PosixClockTime, TicksFollowSleeps) {
  PosixClock clock(nullptr);
  const uint64_t before = clock.microseconds();
  clock.sleep(20);
  EXPECT_GE(clock.microseconds() - before, 20000u);
  const LocalTime now = clock.localTime();
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
}

TEST(PosixRunLock, SleepingLetsAnotherThreadTakeTheLock) {
  PosixProcess process(false);
  PosixClock clock(&process.runLock());
  std::atomic<bool> took{false};
  std::thread other([&] {
    process.runLock().lock();
    took = true;
    process.runLock().unlock();
  });
  // The other thread can only get in while this one sleeps.
  while (!took) clock.sleep(5);
  other.join();
  EXPECT_TRUE(took);
  {
    BlockingSection section(process);  // found through the Process interface
    EXPECT_TRUE(process.runLock().exiting() == false);
  }
}

TEST(PosixProcessSignals, InstallingAndTearingDownDoesNotHang) {
  auto process = std::make_unique<PosixProcess>(false);
  process->installStopSignals();
  process->installStopSignals();  // once is enough
  process.reset();
  SUCCEED();
}

TEST(PosixProcessErrors, CodesHaveTheSystemsText) {
  PosixProcess process(false);
  EXPECT_EQ(process.errorText(oserr::FileNotFound), "No such file or directory");
  EXPECT_EQ(process.errorText(oserr::DiskFull), "No space left on device");
  EXPECT_EQ(process.errorText(oserr::PermissionDenied), "Permission denied");
  process.setLastError(oserr::AccessDenied);
  EXPECT_EQ(process.lastError(), oserr::AccessDenied);
}

TEST(PosixPaths, StateDirectoryFollowsXdgThenHome) {
  SimEnvironment env;
  env.variables["XDG_STATE_HOME"] = "/x/state";
  env.variables["HOME"] = "/home/op";
  EXPECT_EQ(PosixStateDirectory(env), "/x/state/kestrelink");
  env.variables.erase("XDG_STATE_HOME");
  EXPECT_EQ(PosixStateDirectory(env), "/home/op/.local/state/kestrelink");
  EXPECT_EQ(PosixProgramPath("ignored").front(), '/');
}

}  // namespace
}  // namespace kl
