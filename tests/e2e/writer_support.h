// Shared by the end-to-end tests of the writing operations: runs under a file
// size limit (a full disk), and a user's view of a tree on disk.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"

namespace quarlix::e2e {

// Runs the binary in workDir with a file size limit of limitBytes and SIGXFSZ
// ignored, so a write past the limit fails as on a full disk. POSIX only.
RunResult RunWithFileSizeLimit(const std::filesystem::path& workDir,
                               const std::vector<std::string>& args, uint64_t limitBytes);

// Every regular file under root, relative path with '/' -> bytes.
std::map<std::string, std::string> ReadTree(const std::filesystem::path& root);

// The temporary files a writer may leave beside an archive in directory.
std::vector<std::string> TemporaryFiles(const std::filesystem::path& directory);

}  // namespace quarlix::e2e
