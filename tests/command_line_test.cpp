// The command-line forms and the run state they set.
#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/messages.h"

namespace quarlix {
namespace {

struct Parsed {
  bool usage = false;
  RunState state;
};

Parsed Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "quarlix");
  std::vector<const char*> argv;
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  try {
    return {false, ParseCommandLine(static_cast<int>(argv.size()), argv.data())};
  } catch (const FatalError& error) {
    EXPECT_EQ(error.Text(), MessageText(MessageId::kUsage));
    return {true, {}};
  }
}

TEST(CommandLineTest, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-c", "a.qlx", "dir", "extra"},
      {"l", "a.qlx"},
      {"-L", "a.qlx"},
      {"-q", "a.qlx"},
      {"-", "a.qlx"},
      {"--", "a.qlx"},
      {"-xyz", "a.qlx"},
      {"-l", "a.qlx", "dir"},
      {"-d", "a.qlx", "dir"},
      {"-c", "a.qlx"},
      {"-a", "a.qlx"},
      {"-lc", "a.qlx"},
  };
  for (const auto& arguments : cases) {
    std::string shown;
    for (const auto& argument : arguments) shown += "'" + argument + "' ";
    EXPECT_TRUE(Parse(arguments).usage) << shown;
  }
}

TEST(CommandLineTest, OptionWords) {
  struct Case {
    std::vector<std::string> arguments;
    RunOptions options;
    bool demoKey;
  };
  const Case cases[] = {
      {{"-l", "a.qlx"}, {.List = true}, false},
      {{"-d", "a.qlx"}, {.Decompress = true, .List = true}, false},
      {{"-ld", "a.qlx"}, {.Decompress = true, .List = true}, false},
      {{"-dq", "a.qlx"}, {.Decompress = true, .List = true}, true},
      {{"-qql", "a.qlx"}, {.List = true}, true},
      {{"-c", "a.qlx", "dir"}, {.Compress = true}, false},
      {{"-a", "a.qlx", "dir"}, {.Add = true}, false},
      {{"-ca", "a.qlx", "dir"}, {.Compress = true, .Add = true}, false},
      {{"-lc", "a.qlx", "dir"}, {.List = true, .Compress = true}, false},
      {{"-Lc9-", "a.qlx", "dir"}, {.Compress = true}, false},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.arguments);
    ASSERT_FALSE(parsed.usage) << c.arguments[0];
    const RunOptions& got = parsed.state.Options;
    EXPECT_EQ(got.Decompress, c.options.Decompress) << c.arguments[0];
    EXPECT_EQ(got.List, c.options.List) << c.arguments[0];
    EXPECT_EQ(got.Compress, c.options.Compress) << c.arguments[0];
    EXPECT_EQ(got.Add, c.options.Add) << c.arguments[0];
    EXPECT_FALSE(got.PackDropped) << c.arguments[0];
    EXPECT_EQ(parsed.state.CurrentKey, c.demoKey ? &DemoKey : &FullKey) << c.arguments[0];
    EXPECT_EQ(parsed.state.ArchivePath, "a.qlx");
    EXPECT_EQ(parsed.state.DirectoryPath, c.arguments.size() == 3 ? "dir" : "");
  }
}

TEST(CommandLineTest, SingleArgument) {
  const auto directory = std::filesystem::temp_directory_path() / "quarlix-command-line-test";
  std::filesystem::create_directories(directory);

  const Parsed dropped = Parse({directory.string()});
  EXPECT_TRUE(dropped.state.Options.PackDropped);
  EXPECT_FALSE(dropped.state.Options.Decompress);
  EXPECT_EQ(dropped.state.DirectoryPath, directory.string());
  EXPECT_EQ(dropped.state.ArchivePath, directory.string() + ".qlx");

  // Anything else is an archive to extract, even a word that looks like an option.
  for (const std::string argument : {"-l", "missing.qlx", "-cq"}) {
    const Parsed parsed = Parse({argument});
    EXPECT_TRUE(parsed.state.Options.Decompress) << argument;
    EXPECT_FALSE(parsed.state.Options.List) << argument;
    EXPECT_EQ(parsed.state.ArchivePath, argument);
    EXPECT_EQ(parsed.state.CurrentKey, &FullKey);
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace quarlix
