// The run state: what the command line asks for. Set once by ParseCommandLine,
// read by the operations, changed by nothing.
#pragma once

#include <string>

#include "archive/archive_keys.h"

namespace quarlix {

struct RunOptions {
  bool Decompress = false;   // d, or a single argument that is not a directory
  bool List = false;         // l or d
  bool Compress = false;     // c
  bool Add = false;          // a
  bool PackDropped = false;  // a single argument that is a directory
};

struct RunState {
  RunOptions Options;
  // The archive: the second argument of the option form, the single argument,
  // or a dropped directory followed by ".qlx".
  std::string ArchivePath;
  // The directory to store: the third argument with c or a, or a dropped directory.
  std::string DirectoryPath;
  // FullKey, or DemoKey when q stands among the switch letters.
  const ArchiveKey* CurrentKey = &FullKey;
};

}  // namespace quarlix
