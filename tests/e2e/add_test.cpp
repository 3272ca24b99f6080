// Adding to an archive in place, run on the real binary: exact bytes and
// console output, and an archive that a failed add leaves exactly as it was.
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/writer_support.h"
#include "fixtures/archive_builder.h"

namespace quarlix::e2e {
namespace {

namespace fs = std::filesystem;
using fixtures::BuildArchive;
using fixtures::FixtureArchive;
using fixtures::FixtureEntry;

constexpr std::string_view kAddedClosing = "\nFiles successfully added!\n";

class AddTest : public E2eTest {
 protected:
  // The worked example: one entry data/a.txt holding "hello".
  FixtureArchive Example() { return {.entries = {{.name = "data/a.txt", .content = "hello"}}}; }
};

TEST_F(AddTest, AppendsToTheWorkedExample) {
  FixtureArchive archive = Example();
  archive.entries[0].tail = "tailbyte";  // written back as zeros
  WriteFile("game.qlx", BuildArchive(archive).bytes);
  WriteFile("mods/b.txt", "added");

  const RunResult added = Run({"-a", "game.qlx", "mods"});
  ASSERT_EQ(added.exitCode, 0);
  const auto expected = BuildArchive({.entries = {{.name = "data/a.txt", .content = "hello"},
                                                  {.name = "mods/b.txt", .content = "added"}}});
  EXPECT_EQ(ReadFile("game.qlx"), expected.bytes);
  EXPECT_EQ(expected.dataOffsets[1], 56u);  // the old DirectoryOffset
  EXPECT_EQ(added.out, std::string(kBanner) + "got heregot here" + TypeLine(2) + AddCountLine(1) +
                           std::string(kStoreHeader) + Row("mods/b.txt", 5, expected.cSizes[1]) +
                           std::string(kAddedClosing));
}

TEST_F(AddTest, AddsToAnEmptyArchiveAndKeepsDuplicates) {
  FixtureArchive empty;
  empty.fileCount = 0;
  WriteFile("game.qlx", BuildArchive(empty).bytes);
  WriteFile("mods/a.txt", "one");
  ASSERT_EQ(Run({"-a", "game.qlx", "mods"}).exitCode, 0);
  EXPECT_EQ(ReadFile("game.qlx"),
            BuildArchive({.entries = {{.name = "mods/a.txt", .content = "one"}}}).bytes);
  ASSERT_EQ(Run({"-aq", "game.qlx", "mods"}).exitCode, 0);  // the same name again, demo key
  const RunResult listed = Run({"-l", "game.qlx"});
  EXPECT_NE(listed.out.find(CountLine(2)), std::string::npos) << listed.out;
}

TEST_F(AddTest, RefusalsBeforeAnythingChanges) {
  FixtureArchive plain = Example();
  plain.type = 0;
  FixtureArchive encrypted = Example();
  encrypted.type = 1;
  FixtureArchive beyond = Example();
  beyond.directoryOffset = 4000;
  FixtureArchive hugeCount = Example();
  hugeCount.fileCount = 0x7FFFFFFF;
  FixtureArchive hugeName = Example();
  hugeName.entries[0].nameLength = 0xFFFFFFF0;
  const std::string notValid = "'game.qlx' is not a valid Refractor2 FinkelArchive 1.0 file.\n";
  const std::string typeRefused =
      "got hereCannot add to 'game.qlx'! Files can only be added to archives of type 2.\n";
  struct Case {
    const char* what;
    std::string bytes;
    std::string expected;  // after the banner
  };
  const Case cases[] = {
      {"type 0", BuildArchive(plain).bytes, typeRefused},
      {"type 1", BuildArchive(encrypted).bytes, typeRefused},
      {"not an archive", "just some text that is long enough to be read", notValid},
      {"magic and zero, cut at 30 bytes", BuildArchive(Example()).bytes.substr(0, 30),
       "got hereError reading file!\n"},
      {"offset beyond the end", BuildArchive(beyond).bytes, "got hereUnexpected end of file!\n"},
      {"count the file cannot hold", BuildArchive(hugeCount).bytes,
       "got heregot hereUnexpected end of file!\n"},
      {"name beyond the file", BuildArchive(hugeName).bytes,
       "got heregot hereUnexpected end of file!\n"},
  };
  WriteFile("mods/b.txt", "added");
  for (const Case& c : cases) {
    WriteFile("game.qlx", c.bytes);
    const RunResult added = Run({"-a", "game.qlx", "mods"});
    EXPECT_EQ(added.exitCode, 1) << c.what;
    EXPECT_EQ(added.out, std::string(kBanner) + c.expected) << c.what;
    EXPECT_TRUE(ReadFile("game.qlx") == c.bytes) << c.what;
  }
  const RunResult missing = Run({"-a", "missing.qlx", "mods"});
  EXPECT_EQ(missing.out, std::string(kBanner) + "Could not open file 'missing.qlx'\n");
}

// A file that cannot be read, a full disk, an archive that cannot be written:
// each fails and leaves the archive byte for byte, with no staging file left.
TEST_F(AddTest, AFailedAddLeavesTheArchiveAsItWas) {
  if (UnderLauncher()) GTEST_SKIP() << "symbolic links and file size limits are POSIX-only";
  WriteFile("old/a.txt", "hello");
  std::mt19937 random(1);
  std::string noise(400000, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  WriteFile("old/noise.bin", noise);
  ASSERT_EQ(Run({"-c", "game.qlx", "old"}).exitCode, 0);
  const std::string before = ReadFile("game.qlx");

  WriteFile("mods/first.txt", "first");
  fs::create_symlink("nowhere", WorkDir() / "mods" / "dangling");
  const RunResult dangling = Run({"-a", "game.qlx", "mods"});
  EXPECT_EQ(dangling.exitCode, 1);
  EXPECT_TRUE(dangling.out.ends_with("Could not open file 'mods/dangling'\n")) << dangling.out;
  EXPECT_TRUE(ReadFile("game.qlx") == before);
  EXPECT_TRUE(TemporaryFiles(WorkDir()).empty());
  fs::remove(WorkDir() / "mods" / "dangling");

  // The disk fills while the new data is staged, and, with a limit just past
  // the archive's end, while the archive itself is written.
  WriteFile("mods/noise.bin", noise);
  for (const uint64_t limit : {uint64_t{200000}, uint64_t{before.size() + 1000}}) {
    const RunResult full = RunWithFileSizeLimit(WorkDir(), {"-a", "game.qlx", "mods"}, limit);
    EXPECT_EQ(full.exitCode, 1) << limit;
    EXPECT_TRUE(full.out.ends_with("Unable to write to file 'game.qlx'\n")) << full.out;
    EXPECT_TRUE(ReadFile("game.qlx") == before) << limit;
    EXPECT_TRUE(TemporaryFiles(WorkDir()).empty()) << limit;
  }

  if (::geteuid() != 0) {  // root writes read-only files anyway
    fs::permissions(WorkDir() / "game.qlx", fs::perms::owner_read);
    const RunResult readOnly = Run({"-a", "game.qlx", "mods"});
    EXPECT_EQ(readOnly.exitCode, 1);
    EXPECT_NE(readOnly.out.find("Unable to write to file 'game.qlx'\n"), std::string::npos);
    EXPECT_TRUE(ReadFile("game.qlx") == before);
  }
}

// Damaged archives: never a crash, and one that was readable stays readable.
TEST_F(AddTest, TruncatedAndBitFlippedArchives) {
  FixtureArchive archive = {.entries = {{.name = "data/a.txt", .content = "hello"},
                                        {.name = "data/b.txt", .content = "world, again"}}};
  const std::string good = BuildArchive(archive).bytes;
  WriteFile("mods/n.txt", "new");
  std::vector<std::string> variants;
  for (size_t size = 0; size < good.size(); size += 7) variants.push_back(good.substr(0, size));
  for (size_t bit = 3; bit < good.size() * 8; bit += 23) {
    std::string flipped = good;
    flipped[bit / 8] ^= static_cast<char>(1 << (bit % 8));
    variants.push_back(flipped);
  }
  for (const std::string& bytes : variants) {
    WriteFile("game.qlx", bytes);
    ClearWorkDir({"game.qlx", "mods"});
    const bool readable = Run({"-d", "game.qlx"}).exitCode == 0;
    ClearWorkDir({"game.qlx", "mods"});
    const RunResult added = Run({"-a", "game.qlx", "mods"});
    ASSERT_TRUE(added.exitCode == 0 || added.exitCode == 1) << added.exitCode;
    if (added.exitCode == 1) {
      EXPECT_TRUE(ReadFile("game.qlx") == bytes);
    }
    if (readable) {
      const RunResult after = Run({"-d", "game.qlx"});
      EXPECT_EQ(after.exitCode, 0) << after.out;
    }
  }
}

}  // namespace
}  // namespace quarlix::e2e
