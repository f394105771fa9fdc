#include <filesystem>
#include <string>

#include "driver/parameter_file.h"
#include "settings/settings_fixture.h"

namespace kl {
namespace {

using test::readFile;
using test::SettingsTest;
using test::writeFile;

class ParameterWrite : public SettingsTest {
 protected:
  std::string ini = path("station.ini");
  std::string work = ini + ".000";
};

TEST_F(ParameterWrite, MissingFileAndDirectoryAreCreatedWithOneLine) {
  const std::string nested = path("station/run.ini");
  IniPutString(s, nested, "Message", "Aborted");
  EXPECT_EQ(readFile(nested), "Message=Aborted\r\n");
  EXPECT_FALSE(std::filesystem::exists(nested + ".000"));
}

TEST_F(ParameterWrite, AllMatchingLinesAreReplacedAndOthersKept) {
  writeFile(ini, "Program=1\r\nOstrevan=1\r\nProgram=0\r\nProgram =9\r\n");
  IniPutBool(s, ini, "Program", false);
  EXPECT_EQ(readFile(ini), "Program=false\r\nOstrevan=1\r\nProgram=false\r\nProgram =9\r\n");
}

TEST_F(ParameterWrite, AbsentKeyIsAppendedAndLastLineGainsItsLineEnd) {
  writeFile(ini, "Ostrevan=1\r\n\r\nProgram=1");
  IniPutInt(s, ini, "SerialNo", -42);
  EXPECT_EQ(readFile(ini), "Ostrevan=1\r\n\r\nProgram=1\r\nSerialNo=-42\r\n");
  EXPECT_EQ(IniGetInt(s, ini, "SerialNo"), -42);
}

TEST_F(ParameterWrite, LineEndsAreRewrittenAsCrLf) {
  writeFile(ini, "A=1\rB=2\n\r\nC=3\n");
  IniPutString(s, ini, "B", "x");
  EXPECT_EQ(readFile(ini), "A=1\r\nB=x\r\nC=3\r\n");
}

TEST_F(ParameterWrite, AFileWithLfLineEndsKeepsThemAndItsByteOrderMark) {
  writeFile(ini, "\xEF\xBB\xBFOstrevan=1\nMessage=old\nProgram=1");
  IniPutString(s, ini, "Message", "");
  IniPutString(s, ini, "SerialNo", "7");
  EXPECT_EQ(readFile(ini), "\xEF\xBB\xBFOstrevan=1\nMessage=\nProgram=1\nSerialNo=7\n");
}

TEST_F(ParameterWrite, ValuesRoundTrip) {
  IniPutBool(s, ini, "Ostrevan", true);
  IniPutString(s, ini, "Message", "a=b");
  IniPutInt(s, ini, "SerialNo", 2147483647);
  EXPECT_EQ(readFile(ini), "Ostrevan=true\r\nMessage=a=b\r\nSerialNo=2147483647\r\n");
  EXPECT_TRUE(IniGetBool(s, ini, "Ostrevan"));
  EXPECT_EQ(IniGetString(s, ini, "Message"), "a=b");
  EXPECT_EQ(IniGetInt(s, ini, "SerialNo"), 2147483647);
}

TEST_F(ParameterWrite, BinaryBytesAreCopiedExceptLineFeeds) {
  const std::string head("\0\x01\xff=\x80\n", 6);
  const std::string tail("\xfe\0junk", 6);
  writeFile(ini, head + "\rProgram=0\r" + tail);
  IniPutString(s, ini, "Program", "1");
  EXPECT_EQ(readFile(ini), std::string("\0\x01\xff=\x80", 5) + "\r\nProgram=1\r\n" + tail + "\r\n");
}

TEST_F(ParameterWrite, OverlongLineIsRewrittenPieceByPiece) {
  writeFile(ini, std::string(32001 + 5, 'x') + "\r\nProgram=1\r\n");
  IniPutString(s, ini, "Program", "0");
  EXPECT_EQ(readFile(ini), std::string(32001, 'x') + "\r\nxxxxx\r\nProgram=0\r\n");
}

TEST_F(ParameterWrite, MultiMegabyteFileIsRewrittenWhole) {
  std::string contents;
  for (int i = 0; i < 200000; ++i) contents += "Key" + std::to_string(i) + "=" + std::to_string(i * 7) + "\r\n";
  writeFile(ini, contents);
  IniPutString(s, ini, "Key100000", "changed");
  const std::string expected = [&] {
    std::string e = contents;
    const std::string from = "\r\nKey100000=700000\r\n";
    e.replace(e.find(from), from.size(), "\r\nKey100000=changed\r\n");
    return e;
  }();
  EXPECT_EQ(readFile(ini), expected);
}

// The old file stays in place until the complete new one is renamed over it.
TEST_F(ParameterWrite, ReplacementIsOneRenameOverTheOldFile) {
  writeFile(ini, "Program=1\r\n");
  bool checked = false;
  files.beforeRename = [&](const std::string& from, const std::string& to) {
    EXPECT_EQ(from, work);
    EXPECT_EQ(to, ini);
    EXPECT_EQ(readFile(ini), "Program=1\r\n");
    EXPECT_EQ(readFile(work), "Program=1\r\nMessage=done\r\n");
    checked = true;
  };
  IniPutString(s, ini, "Message", "done");
  EXPECT_TRUE(checked);
  EXPECT_EQ(files.calls, std::vector<std::string>{"rename " + work + " -> " + ini});
  EXPECT_EQ(readFile(ini), "Program=1\r\nMessage=done\r\n");
}

TEST_F(ParameterWrite, FailedRenameFallsBackToDeleteThenRename) {
  writeFile(ini, "Program=1\r\n");
  files.renameFailures = 1;
  files.removeNeedsWritable = true;  // a read-only file
  IniPutString(s, ini, "Program", "0");
  EXPECT_EQ(readFile(ini), "Program=0\r\n");
  const std::vector<std::string> expected{"rename " + work + " -> " + ini, "remove " + ini, "makeWritable " + ini,
                                          "remove " + ini, "rename " + work + " -> " + ini};
  EXPECT_EQ(files.calls, expected);
}

TEST_F(ParameterWrite, UndeletableFileIsReportedLockedAndWorkFileKeepsNewContents) {
  writeFile(ini, "Program=1\r\n");
  files.renameFailures = 1;
  files.removeFailures = 2;
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Message", "x"); }), 1);
  EXPECT_EQ(console(), "\r\nINI File is locked: " + ini);
  EXPECT_EQ(readFile(ini), "Program=1\r\n");
  EXPECT_EQ(readFile(work), "Program=1\r\nMessage=x\r\n");
}

TEST_F(ParameterWrite, FailedSecondRenameIsReportedLocked) {
  writeFile(ini, "Program=1\r\n");
  files.renameFailures = 2;
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Message", "x"); }), 1);
  EXPECT_EQ(console(), "\r\nINI File is locked: " + ini);
  EXPECT_FALSE(std::filesystem::exists(ini));
  EXPECT_EQ(readFile(work), "Program=1\r\nMessage=x\r\n");
}

TEST_F(ParameterWrite, LockedMessageGoesToTheConsoleOnly) {
  s.givenOptions().debug = true;
  writeFile(ini, "Program=1\r\n");
  auto logFile = sim.files.create(path("session.log"));
  s.out.log().attach(std::move(logFile));
  files.renameFailures = 2;
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Message", "x"); }), 1);
  s.out.log().close();
  EXPECT_EQ(readFile(path("session.log")).find("INI File"), std::string::npos);
}

TEST_F(ParameterWrite, WorkFileThatCannotBeCreatedIsARuntimeError) {
  writeFile(ini, "Program=1\r\n");
  ASSERT_TRUE(sim.files.createDirectory(work));
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Message", "x"); }), 1);
  EXPECT_NE(console().find("\r\nCannot create file " + work), std::string::npos) << console();
  EXPECT_EQ(readFile(ini), "Program=1\r\n");
}

// The cause stands on a line of its own after the path: "is a folder", not an access error.
TEST_F(ParameterWrite, DirectoryInPlaceOfTheFileIsARuntimeError) {
  ASSERT_TRUE(sim.files.createDirectory(ini));
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Message", "x"); }), 1);
  EXPECT_NE(console().find("\r\nCannot write file " + ini + ":parameter_file:"), std::string::npos) << console();
  EXPECT_NE(console().find("\r\n" + ini + " is a folder\r\n"), std::string::npos) << console();
  EXPECT_TRUE(std::filesystem::is_directory(ini));
  EXPECT_FALSE(std::filesystem::exists(work));
  sim.console.clearOutput();
  EXPECT_EQ(exitCodeOf([&] { IniGetBool(s, ini, "Ostrevan"); }), 1);
  EXPECT_NE(console().find("\r\nCannot open file " + ini + ":parameter_file:"), std::string::npos) << console();
  EXPECT_NE(console().find("\r\n" + ini + " is a folder\r\n"), std::string::npos) << console();
}

// A device or a pipe named as the parameter file is never replaced by a regular file (as root,
// a renamed work file would take the place of /dev/ttyUSB0), nor written into; the station's
// outcome says so on the console instead of ending the run.
TEST_F(ParameterWrite, OnlyARegularFileIsEverReplaced) {
  struct Row {
    PathKind kind;
    const char* cause;
  };
  for (const Row& row : {Row{PathKind::Device, " is a device, not a file"}, Row{PathKind::Other, " is not a regular file"}}) {
    SCOPED_TRACE(row.cause);
    writeFile(ini, "Ostrevan=1\r\n");
    files.kinds[ini] = row.kind;
    files.calls.clear();
    sim.console.clearOutput();
    EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Message", "x"); }), 1);
    EXPECT_NE(console().find("\r\nCannot write file " + ini + ":parameter_file:"), std::string::npos) << console();
    EXPECT_NE(console().find("\r\n" + ini + row.cause + "\r\n"), std::string::npos) << console();
    EXPECT_EQ(readFile(ini), "Ostrevan=1\r\n");
    EXPECT_TRUE(files.calls.empty());
    EXPECT_FALSE(std::filesystem::exists(work));

    sim.console.clearOutput();
    s.givenOptions().parameterFile = ini;
    s.outcomeLost = false;
    EXPECT_FALSE(StoreOutcome(s, "Stopped"));
    EXPECT_TRUE(s.outcomeLost);
    EXPECT_EQ(console(), "The outcome could not be stored in " + ini + "\r\nCannot write file " + ini + "\r\n" + ini +
                             row.cause);
    EXPECT_EQ(readFile(ini), "Ostrevan=1\r\n");
  }
}

// A folder where only the file itself may be written (a station's shared folder) cannot take
// the work file: the file is rewritten in place. Where the file cannot be written either, the
// old contents stay and the cause is named.
TEST_F(ParameterWrite, UnwritableFolderRewritesTheFileInPlace) {
  writeFile(ini, "Ostrevan=1\nMessage=an earlier failure\n");
  files.unwritableFolders.insert(dir.path());
  IniPutString(s, ini, "Message", "Stopped");
  EXPECT_EQ(readFile(ini), "Ostrevan=1\nMessage=Stopped\n");
  EXPECT_FALSE(std::filesystem::exists(work));
  EXPECT_TRUE(files.calls.empty()) << "nothing renamed or deleted";

  files.uncreatable.insert(ini);
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Message", "x"); }), 1);
  EXPECT_NE(console().find("\r\nCannot write file " + ini + ":parameter_file:"), std::string::npos) << console();
  EXPECT_NE(console().find("\r\nAccess is denied.\r\n"), std::string::npos) << console();
  EXPECT_EQ(readFile(ini), "Ostrevan=1\nMessage=Stopped\n");
}

TEST_F(ParameterWrite, FullDiskLeavesTheOldFileInPlace) {
  const std::string old = std::string(200000, 'k') + "\r\nProgram=1\r\n";
  writeFile(ini, old);
  files.writeFailsAfter = 70000;  // the disk fills up during the copy
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Program", "0"); }), 1);
  EXPECT_NE(console().find("\r\nCannot write file " + work), std::string::npos) << console();
  EXPECT_EQ(readFile(ini), old);
  EXPECT_FALSE(std::filesystem::exists(work));
  EXPECT_EQ(files.calls, std::vector<std::string>{"remove " + work});
}

TEST_F(ParameterWrite, ReadFailureMidCopyLeavesTheOldFileInPlace) {
  const std::string old = std::string(100000, 'x') + "\r\nProgram=1\r\n";
  writeFile(ini, old);
  files.readFailsAfter = 70000;
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Program", "0"); }), 1);
  EXPECT_NE(console().find("Cannot read file " + ini), std::string::npos) << console();
  EXPECT_EQ(readFile(ini), old);
  EXPECT_FALSE(std::filesystem::exists(work));
}

TEST_F(ParameterWrite, WorkFileThatCannotBeCreatedLeavesTheOldFileInPlace) {
  // A folder in the work file's place cannot be created as a file, whoever runs the test.
  const std::string file = path("station.ini");
  writeFile(file, "Program=1\r\n");
  std::filesystem::create_directory(file + ".000");
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, file, "Program", "0"); }), 1);
  EXPECT_NE(console().find("Cannot create file " + file + ".000"), std::string::npos) << console();
  EXPECT_EQ(readFile(file), "Program=1\r\n");
}

TEST_F(ParameterWrite, EmptyFileNameWritesNothing) {
  IniPutString(s, "", "Message", "x");
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, "", "Message", "x"); }), -1);
  EXPECT_TRUE(files.calls.empty());
}

}  // namespace
}  // namespace kl
