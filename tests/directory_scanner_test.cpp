// The two scanning passes on real trees.
#include "fs/directory_scanner.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/messages.h"
#include "fs/platform.h"

namespace quarlix {
namespace {

namespace fs = std::filesystem;

class DirectoryScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    top_ = fs::temp_directory_path() /
           ("quarlix-scan-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(top_);
    fs::create_directories(top_);
  }
  void TearDown() override { fs::remove_all(top_); }

  void MakeFile(const std::string& relative, size_t size = 0) {
    const fs::path path = top_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
  }

  std::vector<ScanRecord> Scan() {
    const uint32_t count = CountFiles(top_.string());
    std::vector<ScanRecord> records(count);
    EXPECT_EQ(CollectFiles(top_.string(), records, count, 0), count);
    return records;
  }

  std::string Relative(const ScanRecord& record) {
    const std::string prefix = top_.string() + platform::HostSeparator();
    EXPECT_EQ(record.FileName.compare(0, prefix.size(), prefix), 0) << record.FileName;
    EXPECT_EQ(record.NameLength, record.FileName.size());
    EXPECT_EQ(record.EntryReserved, 1u);
    return record.FileName.substr(prefix.size());
  }

  fs::path top_;
};

TEST_F(DirectoryScannerTest, DotNamesAndEmptyDirectoriesAddNothing) {
  MakeFile(".keep");
  MakeFile(".cache/inside.txt");
  fs::create_directories(top_ / "empty" / "deeper");
  EXPECT_EQ(CountFiles(top_.string()), 0u);
}

TEST_F(DirectoryScannerTest, DepthFirstInListingOrderWithSizes) {
  MakeFile("a.txt", 5);
  MakeFile("sub/b.txt", 3);
  MakeFile("sub/deep/c.txt", 0);
  MakeFile("z.bin", 70000);
  const auto records = Scan();
  ASSERT_EQ(records.size(), 4u);

  // Both passes and the host's listing agree on the order: each directory's
  // files stand together, where the directory stands among its siblings.
  std::vector<std::string> names;
  for (const auto& record : records) names.push_back(Relative(record));
  const std::string sep(1, platform::HostSeparator());
  const auto position = [&](const std::string& name) {
    return std::find(names.begin(), names.end(), name) - names.begin();
  };
  EXPECT_EQ(position("sub" + sep + "deep" + sep + "c.txt") - position("sub" + sep + "b.txt"), 1)
      << "files of sub/ are contiguous";
  for (const auto& record : records) {
    const std::string name = Relative(record);
    const uint64_t expected = name == "a.txt"                           ? 5
                              : name == "z.bin"                         ? 70000
                              : name.find("b.txt") != std::string::npos ? 3
                                                                        : 0;
    EXPECT_EQ(record.USize, expected) << name;
  }
}

TEST_F(DirectoryScannerTest, MissingTopDirectoryFails) {
  const std::string missing = (top_ / "missing").string();
  try {
    CountFiles(missing);
    FAIL();
  } catch (const FatalError& error) {
    EXPECT_EQ(error.Text(), "Couldn't open directory '" + missing + "'");
  }
  MakeFile("plain.txt");
  EXPECT_THROW(CountFiles((top_ / "plain.txt").string()), FatalError);
}

#ifndef _WIN32  // FIFOs and symbolic links are made with POSIX calls
TEST_F(DirectoryScannerTest, LinksLoopsAndSpecialFiles) {
  MakeFile("real/file.txt", 4);
  fs::create_directory_symlink(top_, top_ / "real" / "loop");  // back to the top
  fs::create_symlink(top_ / "nowhere", top_ / "dangling");     // status unreadable
  ASSERT_EQ(::mkfifo((top_ / "pipe").c_str(), 0600), 0);       // would hang if opened
  const auto records = Scan();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& record : records) {
    const std::string name = Relative(record);
    if (name == "dangling") {
      EXPECT_EQ(record.USize, 0u);
    } else {
      EXPECT_EQ(name, "real/file.txt");
    }
  }
}

#endif

TEST_F(DirectoryScannerTest, ATreeThatChangedBetweenThePassesIsRefused) {
  MakeFile("a.txt");
  MakeFile("b.txt");
  std::vector<ScanRecord> tooFew(1);
  EXPECT_THROW(CollectFiles(top_.string(), tooFew, 1, 0), FatalError);
  std::vector<ScanRecord> tooMany(3);
  try {
    CollectFiles(top_.string(), tooMany, 3, 0);
    FAIL();
  } catch (const FatalError& error) {
    EXPECT_EQ(error.Text(), "Files under '" + top_.string() + "' changed during the scan!");
  }
}

TEST_F(DirectoryScannerTest, PathsLongerThan255Bytes) {
  std::string deep;
  for (int level = 0; level < 12; ++level) deep += std::string(30, char('a' + level)) + "/";
  MakeFile(deep + "f.txt", 1);
  const auto records = Scan();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_GT(records[0].FileName.size(), 255u);
}

}  // namespace
}  // namespace quarlix
