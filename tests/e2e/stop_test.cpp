// A stop signal while the program is busy outside any serial wait: the run still ends at
// once with its clean-up, and the operator's terminal is given back as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "e2e_fixture.h"

namespace kl::test {
namespace {

using std::chrono::steady_clock;

// Retries `attempt` until it succeeds or 20 seconds have passed.
template <typename Attempt>
bool Within20s(Attempt attempt) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(20);
  while (!attempt()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Opens the FIFO for writing once the program has it open for reading.
int WriterOf(const std::string& fifo) {
  int fd = -1;
  Within20s([&] { return (fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });
  return fd;
}

class StopWhileBusy : public EndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(StopWhileBusy, EndsWithItsCleanUpAndGivesTheTerminalBack) {
  if (target.underWine()) GTEST_SKIP() << "a FIFO, a controlling terminal and the quit key are POSIX's";
  const std::string port = startSimulator("zs4.scn").port();
  ASSERT_FALSE(port.empty());
  Terminal terminal;
  ASSERT_FALSE(terminal.slave().empty());
  ASSERT_TRUE(terminal.localModes() & ICANON);
  // The station's parameter file is a FIFO: each read waits until the test writes.
  const std::string ini = dir.file("station.ini");
  ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
  const std::string locks = dir.file("locks");
  std::filesystem::create_directories(locks);
  const std::string lockFile = locks + "/lockBalvantaCommPort3";

  auto child = start({"-y", ini},
                     {{"KESTRELINK_PORTMAP", portMap({{3, port}})}, {"BALVANTAPORTLIST", "3"}, {"BALVANTALOCKDIR", locks}},
                     terminal.slave());
  const int first = WriterOf(ini);
  ASSERT_GE(first, 0) << child->output();
  ASSERT_EQ(::write(first, "Ostrevan=1\r\n", 12), 12);
  ::close(first);
  // Connected, the manufacturing run reads the file again and waits there for its writer.
  ASSERT_TRUE(Within20s([&] { return std::filesystem::exists(lockFile); })) << child->output();
  const int second = WriterOf(ini);
  ASSERT_GE(second, 0) << child->output();
  EXPECT_FALSE(terminal.localModes() & ICANON) << "the run reads keys raw";

  child->sendSignal(GetParam());
  EXPECT_EQ(child->wait(10000), 1);
  ::close(second);
  EXPECT_NE(child->output().find("\r\n-- stopped"), std::string::npos) << child->output();
  EXPECT_FALSE(std::filesystem::exists(lockFile));
  EXPECT_TRUE(terminal.localModes() & ICANON);
  EXPECT_TRUE(terminal.localModes() & ECHO);
  const std::string logs = dir.file("bin/LogFiles");
  ASSERT_TRUE(std::filesystem::is_directory(logs));
  for (const auto& entry : std::filesystem::directory_iterator(logs)) {
    // Written to its end: the stop, the port's release, the closing line end.
    const std::string log = readFile(entry.path().string());
    EXPECT_TRUE(InOrder(log, {": -- stopped\r\n", ": ClosePort deleting lock file: " + lockFile + "\r\n"}));
    EXPECT_TRUE(log.ends_with("\r\n"));
  }
}

INSTANTIATE_TEST_SUITE_P(BreakKeys, StopWhileBusy, ::testing::Values(interruptSignal(), quitSignal()));

}  // namespace
}  // namespace kl::test
