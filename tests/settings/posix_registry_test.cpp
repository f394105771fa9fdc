#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/posix/posix_factories.h"
#include "platform/sim/sim_platform.h"
#include "support/temp_dir.h"

namespace kl {
namespace {

using test::readFile;
using test::writeFile;

const std::string kPort = "SOFTWARE\\Tessaly\\Balvanta\\CommPort";

class PosixRegistryStore : public ::testing::Test {
 protected:
  test::TempDir dir;
  SimProcess process;
  SimEnvironment environment;
  std::unique_ptr<Registry> registry;
  std::string store = dir.file("config/kestrelink/registry");

  void SetUp() override {
    environment.variables["XDG_CONFIG_HOME"] = dir.file("config");
    registry = MakePosixRegistry(process, environment);
  }
  size_t filesInStoreDirectory() {
    size_t n = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir.file("config/kestrelink"))) {
      (void)entry;
      ++n;
    }
    return n;
  }
};

TEST_F(PosixRegistryStore, MissingStoreReadsEmpty) {
  EXPECT_EQ(registry->get(kPort), "");
  EXPECT_FALSE(std::filesystem::exists(store));
}

TEST_F(PosixRegistryStore, PutCreatesTheStoreAndGetReadsIt) {
  registry->put(kPort, "7");
  EXPECT_EQ(readFile(store), kPort + "=7\n");
  EXPECT_EQ(registry->get(kPort), "7");
  EXPECT_EQ(filesInStoreDirectory(), 1u);  // no work file left behind
}

TEST_F(PosixRegistryStore, PutReplacesOnlyItsOwnEntryAndEmptyTextDeletes) {
  std::filesystem::create_directories(dir.file("config/kestrelink"));
  writeFile(store, "Other\\Key=keep me\nnot an entry\n" + kPort + "=3\n" + kPort + "=4\n");
  registry->put(kPort, "12");
  EXPECT_EQ(readFile(store), "Other\\Key=keep me\n" + kPort + "=12\n");
  EXPECT_EQ(registry->get("Other\\Key"), "keep me");
  registry->put(kPort, "");
  EXPECT_EQ(readFile(store), "Other\\Key=keep me\n");
  EXPECT_EQ(registry->get(kPort), "");
}

TEST_F(PosixRegistryStore, OverlongOrNonStringValueReadsEmpty) {
  std::filesystem::create_directories(dir.file("config/kestrelink"));
  writeFile(store, kPort + "=" + std::string(257, '1') + "\nA=" + std::string(256, '2') + "\n" +
                       "B=" + std::string("1\0" "2", 3) + "\n");
  EXPECT_EQ(registry->get(kPort), "");
  EXPECT_EQ(registry->get("A").size(), 256u);
  EXPECT_EQ(registry->get("B"), "");
}

TEST_F(PosixRegistryStore, TextThatWouldBreakALineIsNotStored) {
  registry->put(kPort, "5");
  registry->put(kPort, "6\nEvil=1");
  registry->put("Bad=Path", "1");
  EXPECT_EQ(readFile(store), kPort + "=5\n");
}

TEST_F(PosixRegistryStore, HomeConfigIsUsedWhenXdgIsUnsetOrRelative) {
  environment.variables["XDG_CONFIG_HOME"] = "relative/dir";
  environment.variables["HOME"] = dir.file("home");
  registry->put(kPort, "9");
  EXPECT_EQ(readFile(dir.file("home/.config/kestrelink/registry")), kPort + "=9\n");
  environment.variables.erase("XDG_CONFIG_HOME");
  EXPECT_EQ(registry->get(kPort), "9");
}

TEST_F(PosixRegistryStore, NoPlaceForTheStoreIsSilent) {
  environment.variables.clear();
  registry->put(kPort, "9");
  EXPECT_EQ(registry->get(kPort), "");
}

TEST_F(PosixRegistryStore, UnreadableStoreIsNeitherReadNorOverwritten) {
  std::filesystem::create_directories(store);  // a directory where the file belongs
  registry->put(kPort, "9");
  EXPECT_EQ(registry->get(kPort), "");
  EXPECT_TRUE(std::filesystem::is_directory(store));
  EXPECT_EQ(filesInStoreDirectory(), 1u);
}

}  // namespace
}  // namespace kl
