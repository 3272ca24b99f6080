// The reader loop that listing and extraction share.
#pragma once

#include <string_view>

#include "archive/archive_keys.h"
#include "archive/byte_source.h"
#include "cli/console.h"

namespace quarlix {

enum class ReadMode {
  kList,        // header and directory only; the data area is never read
  kExtract,     // every entry written to its file below the current directory
  kDecodeOnly,  // every entry decoded and checked, nothing written (fuzzing)
};

// Checks the header, prints the summary lines and one row per entry, and in
// the extracting modes decodes every entry. archivePath names the archive in
// messages. Throws FatalError on the first failure.
void ReadArchive(ByteSource& source, std::string_view archivePath, const ArchiveKey& key,
                 ReadMode mode, Console& console);

}  // namespace quarlix
