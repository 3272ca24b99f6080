// The harness of the end-to-end tests: each test gets a fresh sandbox and runs
// the quarlix binary in it as a user would, checking its exit code and the
// exact bytes it prints.
//
// Sandbox layout: Root()/o1/o2/work is the working directory of every run.
// The two levels above it catch names that climb out with "..": anything that
// appears in the sandbox outside work was written where it must not be.
//
// Environment:
//   QUARLIX_TEST_BINARY    the binary to run (default: the one just built)
//   QUARLIX_TEST_LAUNCHER  a program that runs the binary (e.g. wine)
//   QUARLIX_TEST_CRLF=1    the binary writes "\r\n" line ends (Windows text
//                          mode); Run() checks that and hands back "\n"
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quarlix::e2e {

struct RunResult {
  std::string out;  // standard output, line ends as "\n"
  int exitCode = -1;
};

// Whether the binary runs under a launcher, i.e. is not a POSIX program: tests
// of symbolic links, permissions and backslashes in names skip there.
bool UnderLauncher();

// The fixed texts the tool prints.
inline constexpr std::string_view kBanner =
    "Quarlix 1.0 - archive tool for Refractor2 FinkelArchive 1.0 files\n\n";
inline constexpr std::string_view kUsage =
    "Usage: Quarlix -[acdl] filename.qlx [directory]\n"
    "(a=add, c=compress, d=decompress, l=list, -q=demoversion) With switches -c and -a you'll "
    "need to specify a directory name in which the files are.\n";
inline constexpr std::string_view kListHeader =
    "FileName                                                         CSize   USize\n";
inline constexpr std::string_view kStoreHeader =
    "FileName                                                         USize   CSize\n";
inline constexpr std::string_view kListedClosing = "\nFiles listed, not uncompressed!\n";
inline constexpr std::string_view kExtractedClosing = "\nFiles successfully uncompressed!\n";

// "ArchiveType\t\t: 2 (Encrypted and compressed)\n"; types above 2 get no
// description.
std::string TypeLine(uint32_t archiveType);
// "FileCount\t\t: N\n\n".
std::string CountLine(uint32_t fileCount);
// "Files to add\t: N\n\n".
std::string AddCountLine(uint32_t addCount);
// name left-aligned in 62 columns (longer names whole), then both numbers
// right-aligned in 8, then "\n".
std::string Row(std::string_view name, uint64_t first, uint64_t second);

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the binary with args in WorkDir(), stdin from /dev/null. Fails the
  // test (and goes on) if the run writes to standard error, ends by a signal,
  // uses a bare "\n" under QUARLIX_TEST_CRLF, or takes longer than 60 s.
  RunResult Run(std::vector<std::string> args);

  const std::filesystem::path& Root() const { return root_; }
  const std::filesystem::path& WorkDir() const { return work_; }

  // Paths relative to WorkDir(); absolute paths are taken as they are.
  void WriteFile(const std::filesystem::path& path, std::string_view bytes);
  std::string ReadFile(const std::filesystem::path& path);
  bool Exists(const std::filesystem::path& path);
  // Every non-directory under WorkDir() (links included, not followed), as
  // sorted relative paths with '/'.
  std::vector<std::string> ListFiles();
  // Everything in the sandbox that is not WorkDir() or one of its two parent
  // directories: what a run wrote outside its working directory.
  std::vector<std::string> ListOutsideWork();
  // Readies the sandbox for the next case of a table: removes everything in
  // WorkDir() except the named entries, and whatever a run left outside it.
  void ClearWorkDir(const std::vector<std::string>& keep = {});

 private:
  RunResult RunOnce(const std::vector<std::string>& args);

  std::filesystem::path root_;
  std::filesystem::path work_;
};

}  // namespace quarlix::e2e
