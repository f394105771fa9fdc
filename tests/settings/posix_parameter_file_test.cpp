// Parameter files in the POSIX machine's own ways of failing: a socket in the file's place, a
// symbolic link planted as the work file.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "driver/parameter_file.h"
#include "settings/settings_fixture.h"

namespace kl {
namespace {

using test::readFile;
using test::writeFile;

class PosixParameterFile : public test::SettingsTest {
 protected:
  std::string ini = path("station.ini");
  std::string work = ini + ".000";
};

TEST_F(PosixParameterFile, FileThatCannotBeOpenedIsARuntimeError) {
  // A socket is there but cannot be opened, whoever runs the test.
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(ini.size(), sizeof address.sun_path);
  ini.copy(address.sun_path, ini.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(exitCodeOf([&] { IniGetBool(s, ini, "Program"); }), 1);
  EXPECT_NE(console().find("Cannot open file " + ini), std::string::npos) << console();
  ::close(listener);
}

// A link planted as the work file is not followed: the file it names keeps its contents, the
// parameter file too, and the run ends saying which file it could not create.
TEST_F(PosixParameterFile, LinkInPlaceOfTheWorkFileIsNotFollowed) {
  writeFile(ini, "Program=1\r\n");
  writeFile(path("thesis.txt"), "years of work");
  std::filesystem::create_symlink(path("thesis.txt"), work);
  EXPECT_EQ(exitCodeOf([&] { IniPutString(s, ini, "Program", "0"); }), 1);
  EXPECT_NE(console().find("Cannot create file " + work), std::string::npos) << console();
  EXPECT_EQ(readFile(path("thesis.txt")), "years of work");
  EXPECT_EQ(readFile(ini), "Program=1\r\n");
}

}  // namespace
}  // namespace kl
