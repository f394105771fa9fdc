// The win32 backend on the system itself (under Wine in the Linux CI): files and their error
// codes, the registry value, the environment, child programs, the console on pipes, absent
// COM ports.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_environment.h"
#include "platform/win32/win32_factories.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_process.h"
#include "support/temp_dir.h"

namespace kl {
namespace {

class Win32Backend : public ::testing::Test {
 protected:
  // The folder in Windows terms, as the program names its own folders.
  std::string folder() const {
    std::string path = dir.path();
    for (char& c : path)
      if (c == '/') c = '\\';
    return path;
  }
  std::string file(const std::string& name) const { return folder() + "\\" + name; }

  test::TempDir dir;
  Win32Process process;
  Win32FileSystem files{process, Win32ProgramPath(), "unused"};
};

TEST_F(Win32Backend, FileFailuresCarryTheSystemsCodes) {
  ASSERT_TRUE(files.createDirectory(file("sub")));
  test::writeFile(dir.file("plain"), "x");
  struct Case {
    const char* what;
    std::function<bool()> attempt;
    int code;
  };
  const Case cases[] = {
      {"missing file", [&] { return files.openRead(file("missing")) != nullptr; }, ERROR_FILE_NOT_FOUND},
      {"missing folder", [&] { return files.openRead(file("none\\x")) != nullptr; }, ERROR_PATH_NOT_FOUND},
      {"existing file", [&] { return files.createExclusive(file("plain")) != nullptr; }, ERROR_FILE_EXISTS},
      {"existing folder", [&] { return files.createDirectory(file("sub")); }, ERROR_ALREADY_EXISTS},
      {"folder as a file", [&] { return files.remove(file("sub")); }, ERROR_ACCESS_DENIED},
      {"path through a file", [&] { return files.create(file("plain\\x")) != nullptr; }, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    process.setLastError(0);
    EXPECT_FALSE(c.attempt()) << c.what;
    EXPECT_EQ(process.lastError(), c.code) << c.what;
  }
  // The system's own words, without the line end the system puts after them.
  const std::string text = process.errorText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(text.find("Error "), std::string::npos) << text;
  EXPECT_EQ(process.errorText(0x20001234), "Error 536875572");
  EXPECT_FALSE(files.isWritableDirectory(file("plain\\x")));
  EXPECT_TRUE(files.isWritableDirectory(folder()));
  EXPECT_EQ(files.separator(), '\\');
}

TEST_F(Win32Backend, FilesAreWrittenListedReplacedAndDeleted) {
  auto out = files.create(file("20 a.log"));
  ASSERT_TRUE(out);
  ASSERT_TRUE(out->write("abc", 3));
  ASSERT_TRUE(out->close());
  ASSERT_TRUE(files.createDirectory(file("20 dir")));
  test::writeFile(dir.file("other.txt"), "");
  ASSERT_TRUE(::SetFileAttributesA(file("20 a.log").c_str(), FILE_ATTRIBUTE_READONLY));

  std::vector<DirEntry> entries;
  ASSERT_TRUE(files.list(folder(), "20*", entries));
  ASSERT_EQ(entries.size(), 2u);
  for (const DirEntry& entry : entries) {
    if (entry.name == "20 dir") EXPECT_TRUE(entry.attributes & fileattr::Directory);
    else EXPECT_EQ(entry.attributes & (fileattr::ReadOnly | fileattr::Directory), fileattr::ReadOnly) << entry.name;
  }
  EXPECT_TRUE(files.list(folder(), "*.none", entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_FALSE(files.list(file("missing"), "*", entries));

  // A read-only file stays until it is made writable; a rename replaces its target.
  EXPECT_FALSE(files.remove(file("20 a.log")));
  EXPECT_TRUE(files.makeWritable(file("20 a.log")));
  EXPECT_TRUE(files.rename(file("20 a.log"), file("other.txt")));
  EXPECT_EQ(test::readFile(dir.file("other.txt")), "abc");
  EXPECT_FALSE(files.exists(file("20 a.log")));
  EXPECT_TRUE(files.remove(file("other.txt")));
}

TEST_F(Win32Backend, RegistryValueIsStoredReadAndDeleted) {
  auto registry = MakeWin32Registry();
  const std::string key = "SOFTWARE\\Kestrelink tests\\" + std::to_string(::GetCurrentProcessId());
  const std::string path = key + "\\CommPort";
  EXPECT_EQ(registry->get(path), "");
  registry->put(path, "7");
  EXPECT_EQ(registry->get(path), "7");
  registry->put(path, "");
  EXPECT_EQ(registry->get(path), "");

  // Only a string value that fits 257 bytes with its zero is read.
  HKEY handle = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
            ERROR_SUCCESS);
  const DWORD number = 7;
  ::RegSetValueExA(handle, "CommPort", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
  EXPECT_EQ(registry->get(path), "");
  registry->put(path, std::string(256, '9'));
  EXPECT_EQ(registry->get(path), std::string(256, '9'));
  registry->put(path, std::string(257, '9'));
  EXPECT_EQ(registry->get(path), "");
  ::RegCloseKey(handle);
  ::RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
}

TEST_F(Win32Backend, EnvironmentAndChildPrograms) {
  Win32Environment environment;
  ::SetEnvironmentVariableA("KESTRELINK_TEST_VALUE", std::string(300, 'v').c_str());
  EXPECT_EQ(environment.get("KESTRELINK_TEST_VALUE"), std::string(300, 'v'));
  ::SetEnvironmentVariableA("KESTRELINK_TEST_VALUE", nullptr);
  EXPECT_EQ(environment.get("KESTRELINK_TEST_VALUE"), "");

  Win32Processes processes(&process.runLock(), nullptr);
  const std::string shell = environment.get("COMSPEC");
  ASSERT_FALSE(shell.empty());
  EXPECT_EQ(processes.run(shell, {"/c", "exit", "3"}), 3);
  EXPECT_EQ(processes.run(file("missing.exe"), {}), -1);
}

TEST(Win32CommandLineTest, WordsReachTheChildAsTheyAre) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"C:\\bin\\Quorran.exe", "COM3", "-l"}, "C:\\bin\\Quorran.exe COM3 -l"},
      {{"C:\\Program Files\\q.exe", ""}, "\"C:\\Program Files\\q.exe\" \"\""},
      {{"a\"b", "c\\\\d", "e f\\"}, "\"a\\\"b\" c\\\\d \"e f\\\\\""},
      {{"-gC:\\Temp\\x y.tmp;mcu=5"}, "\"-gC:\\Temp\\x y.tmp;mcu=5\""},
  };
  for (const auto& [words, line] : cases) EXPECT_EQ(Win32CommandLine(words), line);
}

TEST_F(Win32Backend, ConsoleOnPipesTakesEachByteAsAKey) {
  HANDLE inRead, inWrite, outRead, outWrite;
  ASSERT_TRUE(::CreatePipe(&inRead, &inWrite, nullptr, 0));
  ASSERT_TRUE(::CreatePipe(&outRead, &outWrite, nullptr, 0));
  {
    Win32Console console(&process.runLock(), inRead, outWrite, outWrite);
    EXPECT_FALSE(console.keyAvailable());
    DWORD n = 0;
    ::WriteFile(inWrite, "y\x1b", 2, &n, nullptr);
    EXPECT_TRUE(console.keyAvailable());
    EXPECT_EQ(console.readKey(), 'y');
    EXPECT_EQ(console.readKey(), 27);
    ::CloseHandle(inWrite);
    EXPECT_FALSE(console.keyAvailable());
    EXPECT_EQ(console.readKey(), -1);

    console.write("held\r\n");
    EXPECT_TRUE(::PeekNamedPipe(outRead, nullptr, 0, nullptr, &n, nullptr));
    EXPECT_EQ(n, 0u) << "text waits for flush";
    console.flush();
  }
  char text[16] = {};
  DWORD n = 0;
  ASSERT_TRUE(::ReadFile(outRead, text, sizeof text, &n, nullptr));
  EXPECT_EQ(std::string(text, n), "held\r\n");
  for (HANDLE h : {inRead, outRead, outWrite}) ::CloseHandle(h);
}

TEST_F(Win32Backend, AbsentComPortReportsFileNotFound) {
  // Wine's test prefix has no COM port at all.
  auto ports = MakeWin32SerialPorts(process);
  EXPECT_EQ(ports->open(97, SerialSettings{}), nullptr);
  EXPECT_EQ(process.lastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Backend, ClockCountsForward) {
  Win32Clock clock(&process.runLock());
  const uint64_t before = clock.microseconds();
  const uint32_t tick = clock.tickMs();
  clock.sleep(20);
  EXPECT_GT(clock.microseconds(), before);
  EXPECT_GE(clock.tickMs() - tick, 10u);
  EXPECT_GE(clock.localTime().year, 2024);
}

}  // namespace
}  // namespace kl
