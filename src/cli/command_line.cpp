#include "cli/command_line.h"

#include <string_view>

#include "cli/messages.h"
#include "fs/platform.h"

namespace quarlix {
namespace {

RunState ParseOptionForm(int argc, const char* const* argv) {
  const std::string_view word = argv[1];
  if (word.empty() || word.front() != '-') Fail(MessageId::kUsage);

  RunState state;
  for (const char letter : word.substr(1)) {
    switch (letter) {
      case 'a':
        state.Options.Add = true;
        break;
      case 'c':
        state.Options.Compress = true;
        break;
      case 'l':
        state.Options.List = true;
        break;
      case 'd':
        state.Options.Decompress = true;
        state.Options.List = true;
        break;
      case 'q':
        state.CurrentKey = &DemoKey;
        break;
      default:  // any other character is ignored
        break;
    }
  }
  const RunOptions& options = state.Options;
  if (!options.List && !options.Decompress && !options.Compress && !options.Add) {
    Fail(MessageId::kUsage);
  }
  state.ArchivePath = argv[2];
  const bool needsDirectory = options.Compress || options.Add;
  if (needsDirectory != (argc == 4)) Fail(MessageId::kUsage);
  if (needsDirectory) state.DirectoryPath = argv[3];
  return state;
}

RunState ParseSingleArgument(const char* argument) {
  RunState state;
  if (platform::QueryStatus(argument).kind == platform::FileStatus::Kind::kDirectory) {
    state.Options.PackDropped = true;
    state.DirectoryPath = argument;
    state.ArchivePath = std::string(argument) + ".qlx";
  } else {
    state.Options.Decompress = true;
    state.ArchivePath = argument;
  }
  return state;
}

}  // namespace

RunState ParseCommandLine(int argc, const char* const* argv) {
  if (argc < 2 || argc > 4) Fail(MessageId::kUsage);
  if (argc == 2) return ParseSingleArgument(argv[1]);
  return ParseOptionForm(argc, argv);
}

}  // namespace quarlix
