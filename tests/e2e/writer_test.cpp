// Creating and packing archives, run on the real binary: exact bytes against
// the independent fixture encoding, exact console output, round trips, and an
// old archive that survives every failed create.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
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

constexpr std::string_view kCreatedClosing = "\nFiles successfully compressed!\n";

// The stored names of a listing, in order.
std::vector<std::string> ListedNames(const std::string& out) {
  std::vector<std::string> names;
  const size_t header = out.find(kListHeader);
  size_t at = header + kListHeader.size();
  for (size_t end; (end = out.find('\n', at)) != std::string::npos && end > at; at = end + 1) {
    const std::string row = out.substr(at, end - at);
    names.push_back(row.substr(0, row.find_last_not_of(" 0123456789", row.size() - 1) + 1));
  }
  return names;
}

class WriterTest : public E2eTest {
 protected:
  // The archive the tool must have written for a tree: the fixture encoding of
  // its files in the order the tool listed them.
  std::string ExpectedArchive(const std::string& archive, const fs::path& root,
                              const std::string& namePrefix, const ArchiveKey& key = FullKey) {
    const RunResult listing = Run({key == DemoKey ? "-lq" : "-l", archive});
    EXPECT_EQ(listing.exitCode, 0) << listing.out;
    FixtureArchive expected;
    expected.key = &key;
    for (const std::string& name : ListedNames(listing.out)) {
      expected.entries.push_back(
          {.name = name, .content = ReadFile(root / name.substr(namePrefix.size()))});
    }
    return BuildArchive(expected).bytes;
  }
};

TEST_F(WriterTest, TheWorkedExampleByteForByte) {
  WriteFile("data/a.txt", "hello");
  const RunResult created = Run({"-c", "out.qlx", "data"});
  ASSERT_EQ(created.exitCode, 0);
  const std::string bytes = ReadFile("out.qlx");
  ASSERT_EQ(bytes.size(), 102u);
  EXPECT_EQ(bytes, BuildArchive({.entries = {{.name = "data/a.txt", .content = "hello"}}}).bytes);
  EXPECT_EQ(created.out, std::string(kBanner) + TypeLine(2) + CountLine(1) +
                             std::string(kStoreHeader) + Row("data/a.txt", 5, 13) +
                             std::string(kCreatedClosing));

  const RunResult packed = Run({"data"});
  ASSERT_EQ(packed.exitCode, 0);
  const std::string packedBytes = ReadFile("data.qlx");
  ASSERT_EQ(packedBytes.size(), 97u);
  EXPECT_EQ(packedBytes, BuildArchive({.entries = {{.name = "a.txt", .content = "hello"}}}).bytes);
  EXPECT_EQ(packed.out, std::string(kBanner) + TypeLine(2) + CountLine(1) +
                            std::string(kStoreHeader) + Row("a.txt", 5, 13) +
                            std::string(kCreatedClosing));
}

TEST_F(WriterTest, VariedTreesByteForByteAndRoundTrip) {
  std::string megabytes;
  for (uint64_t i = 0; megabytes.size() < (5 << 20); ++i) {  // past what helpers keep in memory
    megabytes += std::to_string(i * 7919 % 100003) + (i % 13 ? " " : "\n");
  }
  std::string noise(1 << 20, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"one", "x"},
      {"seven", "1234567"},
      {"eight", "12345678"},
      {"nine", "123456789"},
      {"text.txt", megabytes},
      {"sub/noise.bin", noise},
      {"sub/with space.txt", "spaces in the name"},
      {"sub/caf\xc3\xa9-\xe2\x82\xac.txt", "non-ASCII bytes in the name"},
      {"a/b/c/d/e/f/g/h/deep.txt", "deep"},
      {".hidden", "never stored"},
      {".dot-dir/inside", "never stored"},
  };
  if (UnderLauncher()) GTEST_SKIP() << "names with non-ASCII bytes are POSIX-only here";
  for (const auto& [name, content] : files) WriteFile("data/" + name, content);

  for (const bool demo : {false, true}) {
    const RunResult created = Run({demo ? "-cq" : "-c", "out.qlx", "data"});
    ASSERT_EQ(created.exitCode, 0) << created.out;
    EXPECT_NE(created.out.find(CountLine(10)), std::string::npos) << created.out;
    // Compared whole, not printed: the archive holds megabytes.
    EXPECT_TRUE(ReadFile("out.qlx") ==
                ExpectedArchive("out.qlx", WorkDir() / "data", "data/", demo ? DemoKey : FullKey));

    ClearWorkDir({"out.qlx", "data"});
    fs::create_directory(WorkDir() / "x");
    const auto expected = ReadTree(WorkDir() / "data");
    fs::rename(WorkDir() / "data", WorkDir() / "original");
    const RunResult extracted = Run({demo ? "-dq" : "-d", "out.qlx"});
    EXPECT_EQ(extracted.exitCode, 0) << extracted.out;
    auto got = ReadTree(WorkDir() / "data");
    auto want = expected;
    for (auto it = want.begin(); it != want.end();) {
      it = it->first.front() == '.' ? want.erase(it) : std::next(it);
    }
    EXPECT_EQ(got, want);
    fs::remove_all(WorkDir() / "data");
    fs::rename(WorkDir() / "original", WorkDir() / "data");
  }
}

TEST_F(WriterTest, PackingNamesAreRelativeToTheDroppedDirectory) {
  WriteFile("data/a.txt", "a");
  WriteFile("data/sub/b.bin", "bb");
  const std::string absolute = (WorkDir() / "data").string();
  for (const std::string& argument : {std::string("data"), absolute}) {
    const RunResult packed = Run({argument});
    ASSERT_EQ(packed.exitCode, 0) << packed.out;
    const auto names = ListedNames(Run({"-l", argument + ".qlx"}).out);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              (std::set<std::string>{"a.txt", "sub/b.bin"}))
        << argument;
    EXPECT_EQ(ReadFile(argument + ".qlx"),
              ExpectedArchive(argument + ".qlx", WorkDir() / "data", ""));
  }

  // A trailing separator: the archive is data/.qlx, and no name starts with '/'.
  const RunResult trailing = Run({"data/"});
  ASSERT_EQ(trailing.exitCode, 0) << trailing.out;
  const auto names = ListedNames(Run({"-l", "data/.qlx"}).out);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"a.txt", "sub/b.bin"}));
}

TEST_F(WriterTest, CombinedLettersRunInOrder) {
  WriteFile("data/a.txt", "hello");
  ASSERT_EQ(Run({"-c", "out.qlx", "data"}).exitCode, 0);
  // l then c: the old archive is listed, then made anew.
  const RunResult listedThenCreated = Run({"-lc", "out.qlx", "data"});
  EXPECT_EQ(listedThenCreated.exitCode, 0);
  const std::string listing = TypeLine(2) + CountLine(1) + std::string(kListHeader) +
                              Row("data/a.txt", 13, 5) + std::string(kListedClosing);
  const std::string creation = TypeLine(2) + CountLine(1) + std::string(kStoreHeader) +
                               Row("data/a.txt", 5, 13) + std::string(kCreatedClosing);
  EXPECT_EQ(listedThenCreated.out, std::string(kBanner) + listing + creation);

  // c then a: the files are stored twice.
  const RunResult createdThenAdded = Run({"-ca", "out.qlx", "data"});
  EXPECT_EQ(createdThenAdded.exitCode, 0) << createdThenAdded.out;
  EXPECT_EQ(ListedNames(Run({"-l", "out.qlx"}).out),
            (std::vector<std::string>{"data/a.txt", "data/a.txt"}));
}

TEST_F(WriterTest, NothingToStore) {
  fs::create_directories(WorkDir() / "data" / "empty");
  WriteFile("data/.keep", "");
  WriteFile("out.qlx", "old archive");
  const RunResult created = Run({"-c", "out.qlx", "data"});
  EXPECT_EQ(created.exitCode, 1);
  EXPECT_EQ(created.out, std::string(kBanner) + "No files Found!\n");
  EXPECT_EQ(ReadFile("out.qlx"), "old archive");

  const RunResult missing = Run({"-c", "out.qlx", "missing"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, std::string(kBanner) + "Couldn't open directory 'missing'\n");
}

// Each failure leaves the old archive byte for byte and no temporary file.
TEST_F(WriterTest, AFailedCreateLeavesTheOldArchive) {
  if (UnderLauncher()) GTEST_SKIP() << "symbolic links and file size limits are POSIX-only";
  WriteFile("old/keep.txt", "the old archive's only file");
  ASSERT_EQ(Run({"-c", "out.qlx", "old"}).exitCode, 0);
  const std::string oldArchive = ReadFile("out.qlx");

  // A dangling symbolic link among the files: it counts as a file of size 0
  // that cannot be opened.
  WriteFile("data/a.txt", "hello");
  fs::create_symlink("nowhere", WorkDir() / "data" / "dangling");
  const RunResult dangling = Run({"-c", "out.qlx", "data"});
  EXPECT_EQ(dangling.exitCode, 1);
  EXPECT_TRUE(dangling.out.ends_with("Could not open file 'data/dangling'\n")) << dangling.out;
  EXPECT_TRUE(ReadFile("out.qlx") == oldArchive);
  EXPECT_TRUE(TemporaryFiles(WorkDir()).empty());
  fs::remove(WorkDir() / "data" / "dangling");

  // A full disk while the data is written.
  std::mt19937 random(1);
  std::string large(5 << 20, '\0');
  for (char& byte : large) byte = static_cast<char>(random());
  WriteFile("data/large.bin", large);
  const RunResult full = RunWithFileSizeLimit(WorkDir(), {"-c", "out.qlx", "data"}, 1 << 20);
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_TRUE(full.out.ends_with("Unable to write to file 'out.qlx'\n")) << full.out;
  EXPECT_TRUE(ReadFile("out.qlx") == oldArchive);
  EXPECT_TRUE(TemporaryFiles(WorkDir()).empty());

  // An archive path that cannot be written: nothing changes.
  fs::create_directory(WorkDir() / "taken");
  const RunResult directory = Run({"-c", "taken", "data"});
  EXPECT_EQ(directory.exitCode, 1);
  EXPECT_TRUE(directory.out.ends_with(CountLine(2) + "Could not open file 'taken'\n"))
      << directory.out;

  fs::permissions(WorkDir() / "out.qlx", fs::perms::owner_read);
  if (::geteuid() != 0) {  // root writes anyway
    const RunResult readOnly = Run({"-c", "out.qlx", "data"});
    EXPECT_EQ(readOnly.exitCode, 1);
    EXPECT_TRUE(readOnly.out.ends_with("Could not open file 'out.qlx'\n")) << readOnly.out;
  }
  EXPECT_TRUE(ReadFile("out.qlx") == oldArchive);
}

// A file of 4 GiB does not fit the format's 32-bit sizes: it is refused before
// anything is written, instead of being stored cut short.
TEST_F(WriterTest, FilesOf4GiBAreRefused) {
  if (UnderLauncher()) GTEST_SKIP() << "sparse files are made with POSIX calls here";
  WriteFile("data/a.txt", "hello");
  WriteFile("data/huge.bin", "");
  fs::resize_file(WorkDir() / "data" / "huge.bin", uint64_t{1} << 32);  // sparse
  WriteFile("old/keep.txt", "kept");
  ASSERT_EQ(Run({"-c", "out.qlx", "old"}).exitCode, 0);
  const std::string before = ReadFile("out.qlx");
  for (const char* option : {"-c", "-a"}) {
    const RunResult run = Run({option, "out.qlx", "data"});
    EXPECT_EQ(run.exitCode, 1) << option;
    EXPECT_TRUE(
        run.out.ends_with("File 'data/huge.bin' is too large! Files must be smaller than 4 GiB.\n"))
        << run.out;
    EXPECT_EQ(ReadFile("out.qlx"), before) << option;
  }
}

TEST_F(WriterTest, AnArchiveBehindALinkIsReplacedWhereItIs) {
  if (UnderLauncher()) GTEST_SKIP() << "symbolic links are POSIX-only";
  WriteFile("data/a.txt", "hello");
  WriteFile("store/game.qlx", "old archive");
  fs::create_symlink("store/game.qlx", WorkDir() / "game.qlx");
  ASSERT_EQ(Run({"-c", "game.qlx", "data"}).exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(WorkDir() / "game.qlx"));
  EXPECT_EQ(ReadFile("store/game.qlx").size(), 102u);
  EXPECT_TRUE(TemporaryFiles(WorkDir() / "store").empty());
}

TEST_F(WriterTest, FifosAndLinkLoopsAreSkipped) {
  if (UnderLauncher()) GTEST_SKIP() << "FIFOs and symbolic links are POSIX-only";
  WriteFile("data/a.txt", "hello");
  fs::create_directory_symlink("..", WorkDir() / "data" / "loop");
  ASSERT_EQ(::mkfifo((WorkDir() / "data" / "pipe").c_str(), 0600), 0);
  const RunResult created = Run({"-c", "out.qlx", "data"});
  ASSERT_EQ(created.exitCode, 0) << created.out;
  // The loop leads back to the working directory once: data/loop/data is the
  // same directory as data, and is not entered again.
  const auto names = ListedNames(Run({"-l", "out.qlx"}).out);
  EXPECT_NE(std::find(names.begin(), names.end(), "data/a.txt"), names.end());
  for (const auto& name : names) EXPECT_EQ(name.find("pipe"), std::string::npos) << name;
  EXPECT_LT(names.size(), 4u);
}

}  // namespace
}  // namespace quarlix::e2e
