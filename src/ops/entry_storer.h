// Storing scanned files as entries of type 2, one after the other, with a row
// of the create/add table for each. Shared by create, pack and add.
//
// Compression runs on every core (PreparedEntries): this thread writes entries
// in scan order, taking what helper threads encoded ahead, and encodes itself,
// streaming straight to the archive, whatever no helper has taken.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive_keys.h"
#include "archive/blowfish.h"
#include "archive/entry_codec.h"
#include "cli/console.h"
#include "fs/directory_scanner.h"

namespace quarlix {

// Refuses files of 4 GiB or more, which the format's 32-bit sizes cannot hold.
void CheckFileSizes(const std::vector<ScanRecord>& records, size_t first);

class EntryStorer {
 public:
  // write receives the stored bytes in order and throws if it cannot write them.
  EntryStorer(const ArchiveKey& key, Console& console, std::string archivePath, ByteSink write);

  // Stores records[first..] from position on: opens and reads each file by its
  // scanned path, turns its separators into '/', prints its row (the name from
  // byte prefixLength on), and sets its DataOffset and CSize. Returns the
  // position after the last entry, the new DirectoryOffset.
  uint64_t StoreFiles(std::vector<ScanRecord>& records, size_t first, size_t prefixLength,
                      uint64_t position);

 private:
  struct Row;
  void StoreStreaming(ScanRecord& record, Row& row);
  void Write(const uint8_t* data, size_t size);

  const ArchiveKey& key_;
  KeyedCipher cipher_;
  EntryEncoder encoder_;
  Console& console_;
  std::string archivePath_;
  ByteSink write_;
  uint64_t position_ = 0;
  std::vector<uint8_t> buffer_;
};

// The directory of records (names from byte prefixLength on), FileCount to
// DirectoryTail, in pieces of about 1 MiB.
void WriteDirectory(const std::vector<ScanRecord>& records, size_t prefixLength,
                    const ByteSink& write);

}  // namespace quarlix
