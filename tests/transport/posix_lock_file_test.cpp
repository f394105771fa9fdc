// The port's lock file against a symbolic link planted in its place (POSIX links).
#include <filesystem>

#include "link_fixture.h"
#include "transport/serial_port.h"

namespace kl::test {
namespace {

using PosixLockFile = LinkTest;

// A link planted under the lock file's name in a shared folder is no lock file: the user's
// file it points to stays as it was, and so does the link.
TEST_F(PosixLockFile, LinkInPlaceOfTheLockFileIsNotFollowed) {
  sim.environment.variables["BALVANTALOCKDIR"] = dir.path();
  writeFile(dir.file("thesis.txt"), "years of work");
  std::filesystem::create_symlink(dir.file("thesis.txt"), dir.file("lockBalvantaCommPort3"));
  openLine();
  EXPECT_TRUE(IsPortOpen(s()));
  EXPECT_NE(console().find("Cannot create lock file " + dir.file("lockBalvantaCommPort3")), std::string::npos);
  ClosePort(s());
  EXPECT_EQ(readFile(dir.file("thesis.txt")), "years of work");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("lockBalvantaCommPort3")));
}

}  // namespace
}  // namespace kl::test
