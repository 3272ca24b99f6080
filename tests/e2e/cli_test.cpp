// The command-line forms, run on the real binary: which forms are refused
// with the usage text, which open the archive, and which operations and key
// each accepted form selects.
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "fixtures/archive_builder.h"

namespace quarlix::e2e {
namespace {

using fixtures::BuildArchive;
using fixtures::FixtureArchive;

std::string Join(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& arg : args) text += "[" + arg + "]";
  return text;
}

class CliTest : public E2eTest {
 protected:
  // a.qlx with the one entry hello.txt, and a directory dir with one file.
  void SetUp() override {
    E2eTest::SetUp();
    FixtureArchive archive;
    archive.entries = {{.name = "hello.txt", .content = "hello"}};
    const auto built = BuildArchive(archive);
    helloCSize_ = built.cSizes[0];
    WriteFile("a.qlx", built.bytes);
    WriteFile("dir/new.txt", "fresh");
  }

  // What a listing or an extraction of a.qlx prints after the banner.
  std::string ReadOutput(bool extracting) const {
    return TypeLine(2) + CountLine(1) + std::string(kListHeader) +
           Row("hello.txt", helloCSize_, 5) +
           std::string(extracting ? kExtractedClosing : kListedClosing);
  }

  uint32_t helloCSize_ = 0;
};

TEST_F(CliTest, MisuseShowsUsageAndRunsNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {},                               // no argument
      {"-l", "a.qlx", "dir", "extra"},  // four arguments
      {"-c", "a.qlx", "dir", "extra"},  // four arguments, even with c
      {"l", "a.qlx"},                   // option word without its dash
      {"", "a.qlx"},                    // empty option word
      {"-L", "a.qlx"},                  // capital letters are no modes
      {"-D", "a.qlx"},
      {"-q", "a.qlx"},  // q alone selects no operation
      {"-", "a.qlx"},
      {"--", "a.qlx"},
      {"-x", "a.qlx"},
      {"-l", "a.qlx", "dir"},  // a directory without c or a
      {"-d", "a.qlx", "dir"},
      {"-c", "a.qlx"},  // c or a without a directory
      {"-a", "a.qlx"},
      {"-lc", "a.qlx"},
      {"-cq", "new.qlx"},
  };
  const std::string archiveBefore = ReadFile("a.qlx");
  const std::vector<std::string> filesBefore = ListFiles();
  for (const auto& args : cases) {
    SCOPED_TRACE(Join(args));
    const RunResult result = Run(args);
    EXPECT_EQ(result.out, std::string(kBanner) + std::string(kUsage));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ListFiles(), filesBefore);
    EXPECT_EQ(ReadFile("a.qlx"), archiveBefore);
  }
}

TEST_F(CliTest, ArchiveThatCannotBeOpened) {
  struct Case {
    std::vector<std::string> args;
    std::string shownPath;
  };
  const std::vector<Case> cases = {
      {{"-l", "missing.qlx"}, "missing.qlx"},
      {{"-d", "missing.qlx"}, "missing.qlx"},
      {{"missing.qlx"}, "missing.qlx"},  // the single argument is extracted
      {{"-l"}, "-l"},                    // a single argument is never an option word
      {{"-d"}, "-d"},
      {{""}, ""},
      {{"-l", "x%arg.qlx"}, "x%arg.qlx"},  // inserted once, not searched again
      {{"-l", "dir"}, "dir"},              // a directory is no archive
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Join(c.args));
    const RunResult result = Run(c.args);
    EXPECT_EQ(result.out, std::string(kBanner) + "Could not open file '" + c.shownPath + "'\n");
    EXPECT_EQ(result.exitCode, 1);
  }
}

TEST_F(CliTest, ModeLettersAndKeySelection) {
  struct Case {
    std::vector<std::string> args;
    bool demoArchive;  // a.qlx written with the demo key
    bool extracting;
  };
  const std::vector<Case> cases = {
      {{"-l", "a.qlx"}, false, false},
      {{"-ll", "a.qlx"}, false, false},
      {{"-lq", "a.qlx"}, true, false},
      {{"-d", "a.qlx"}, false, true},
      {{"-ld", "a.qlx"}, false, true},  // l with d is d alone
      {{"-dl", "a.qlx"}, false, true},
      {{"-dX9-L", "a.qlx"}, false, true},  // other characters are ignored
      {{"a.qlx"}, false, true},            // a single archive is extracted
      {{"-dq", "a.qlx"}, true, true},
      {{"-qd", "a.qlx"}, true, true},
      {{"-qdq", "a.qlx"}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Join(c.args));
    ClearWorkDir();
    FixtureArchive archive;
    archive.key = c.demoArchive ? &DemoKey : &FullKey;
    archive.entries = {{.name = "hello.txt", .content = "hello"}};
    WriteFile("a.qlx", BuildArchive(archive).bytes);

    const RunResult result = Run(c.args);
    EXPECT_EQ(result.out, std::string(kBanner) + ReadOutput(c.extracting));
    EXPECT_EQ(result.exitCode, 0);
    if (c.extracting) {
      EXPECT_EQ(ListFiles(), (std::vector<std::string>{"a.qlx", "hello.txt"}));
      EXPECT_EQ(ReadFile("hello.txt"), "hello");
    } else {
      EXPECT_EQ(ListFiles(), std::vector<std::string>{"a.qlx"});
    }
  }
}

TEST_F(CliTest, ListThenCreateRunInThatOrder) {
  const uint32_t newCSize = fixtures::CodeContent(2, FullKey, "fresh").cSize;
  const RunResult result = Run({"-lc", "a.qlx", "dir"});
  EXPECT_EQ(result.out, std::string(kBanner) + ReadOutput(false) + TypeLine(2) + CountLine(1) +
                            std::string(kStoreHeader) + Row("dir/new.txt", 5, newCSize) +
                            "\nFiles successfully compressed!\n");
  EXPECT_EQ(result.exitCode, 0);

  const RunResult listing = Run({"-l", "a.qlx"});
  EXPECT_EQ(listing.out, std::string(kBanner) + TypeLine(2) + CountLine(1) +
                             std::string(kListHeader) + Row("dir/new.txt", newCSize, 5) +
                             std::string(kListedClosing));
}

TEST_F(CliTest, SingleDirectoryArgumentIsPacked) {
  const RunResult result = Run({"dir"});
  EXPECT_EQ(result.exitCode, 0);
  ASSERT_TRUE(Exists("dir.qlx"));
  const RunResult listing = Run({"-l", "dir.qlx"});
  EXPECT_EQ(listing.out, std::string(kBanner) + TypeLine(2) + CountLine(1) +
                             std::string(kListHeader) +
                             Row("new.txt", fixtures::CodeContent(2, FullKey, "fresh").cSize, 5) +
                             std::string(kListedClosing));
}

}  // namespace
}  // namespace quarlix::e2e
