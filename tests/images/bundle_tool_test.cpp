// The build-time check of a supplied bundle: run the built tool over damaged copies of the
// synthetic bundle and read what it reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace kl {
namespace {

namespace fs = std::filesystem;

class BundleTool : public ::testing::Test {
 protected:
  BundleTool() {
    const fs::path build = fs::path(KESTRELINK_BINARY).parent_path();
    tool = (build / "tools" / "bundle_tool").string();
    fs::copy(build / "bundle" / "synthetic", bundle);
  }

  // Exit status of the tool and what it wrote to standard error.
  int run(const std::string& arguments) {
    const std::string command = "'" + tool + "' " + arguments + " 2>'" + dir.file("stderr") + "'";
    const int status = std::system(command.c_str());
    report = test::readFile(dir.file("stderr"));
    return status;
  }

  void editManifest(const std::string& from, const std::string& to) {
    std::string text = test::readFile(bundle + "/manifest.txt");
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    test::writeFile(bundle + "/manifest.txt", text);
  }

  test::TempDir dir;
  std::string bundle = dir.file("bundle");
  std::string tool;
  std::string report;
};

TEST_F(BundleTool, AcceptsTheSyntheticBundleAndEmbedsIt) {
  EXPECT_EQ(run("check '" + bundle + "' --exact"), 0) << report;
  EXPECT_EQ(run("embed '" + bundle + "' '" + dir.file("out") + "'"), 0) << report;
  const std::string assembly = test::readFile(dir.file("out/bundle.S"));
  EXPECT_NE(assembly.find(".incbin \"" + bundle + "/software-07.bin\""), std::string::npos);
  EXPECT_NE(test::readFile(dir.file("out/bundle_index.cpp")).find("// file-653-01D0.bin"), std::string::npos);
}

TEST_F(BundleTool, TruncatedImageFailsNamingIt) {
  fs::resize_file(bundle + "/software-03.bin", 988386 - 100);
  EXPECT_NE(run("embed '" + bundle + "' '" + dir.file("out") + "'"), 0);
  EXPECT_NE(report.find("software-03.bin: 988286 bytes, the manifest says 988386"), std::string::npos) << report;
  EXPECT_FALSE(fs::exists(dir.file("out/bundle.S")));
}

TEST_F(BundleTool, TruncationThatTheManifestAgreesWithStillFailsTheRecordCheck) {
  // Cut inside a record, and then just the terminator off another image.
  fs::resize_file(bundle + "/boot-loader-02.bin", 15000);
  editManifest("boot-loader-02.bin 15396", "boot-loader-02.bin 15000");
  fs::resize_file(bundle + "/boot-loader-03.bin", 14372 - 4);
  editManifest("boot-loader-03.bin 14372", "boot-loader-03.bin 14368");
  EXPECT_NE(run("check '" + bundle + "'"), 0);
  EXPECT_NE(report.find("boot-loader-02.bin: the record at offset 14882 (128 bytes) runs past the end"),
            std::string::npos) << report;
  EXPECT_NE(report.find("boot-loader-03.bin: no terminator: the image ends at offset 14368"), std::string::npos)
      << report;
}

TEST_F(BundleTool, CorruptRecordCountFailsNamingTheImage) {
  {
    // The first record's count, at offset 12, claims more than a record may hold.
    std::string bytes = test::readFile(bundle + "/flash-programmer-05.bin");
    bytes[12] = '\x7F';
    test::writeFile(bundle + "/flash-programmer-05.bin", bytes);
  }
  EXPECT_NE(run("check '" + bundle + "'"), 0);
  EXPECT_NE(report.find("flash-programmer-05.bin: the record at offset 8 holds 32640 bytes"), std::string::npos) << report;
}

TEST_F(BundleTool, ManifestMustListEverySoftwareDigestAndEveryFile) {
  editManifest("software-01.bin 409144 ", "software-01.bin 409144\n# ");
  editManifest("file-fieldbus-01B3.bin 8541\n", "");
  EXPECT_NE(run("check '" + bundle + "'"), 0);
  EXPECT_NE(report.find("software-01.bin: the manifest gives no checksum"), std::string::npos) << report;
  EXPECT_NE(report.find("file-fieldbus-01B3.bin: missing from the manifest"), std::string::npos) << report;
}

TEST_F(BundleTool, ExactModeHoldsTheCatalogueSizes) {
  fs::resize_file(bundle + "/file-648-01EA.bin", 600);
  editManifest("file-648-01EA.bin 599", "file-648-01EA.bin 600");
  EXPECT_EQ(run("check '" + bundle + "'"), 0) << report;
  EXPECT_NE(run("check '" + bundle + "' --exact"), 0);
  EXPECT_NE(report.find("file-648-01EA.bin: 600 bytes instead of 599"), std::string::npos) << report;
}

}  // namespace
}  // namespace kl
