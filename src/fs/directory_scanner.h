// Finding the files to store: every file under a directory, at any depth,
// depth-first in the host's listing order, in two passes. CountFiles counts;
// the caller makes room for exactly that many records; CollectFiles walks again
// in the same order and fills them.
//
// Names that begin with a dot are skipped, with everything under them. A path
// is its parent's path, the host's separator and the name. A path whose status
// cannot be read counts as a file of size 0 (it fails later, when opened).
// FIFOs, sockets and devices are skipped, and a directory that is its own
// ancestor through a symbolic link is not entered again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quarlix {

struct ScanRecord {
  uint32_t NameLength = 0;
  std::string FileName;  // the path as the scan built it
  uint32_t CSize = 0;
  uint32_t USize = 0;  // the file's size; FileSize < 4 GiB is checked by the caller
  uint32_t DataOffset = 0;
  uint32_t EntryReserved = 1;
  uint64_t FileSize = 0;  // the file's whole size as its status reported it
};

// The number of files under path. Throws "Couldn't open directory" for a
// directory that cannot be listed.
uint32_t CountFiles(const std::string& path);

// Fills records[nextIndex, capacity) with the files under path and returns the
// index after the last one filled. A tree that no longer matches the count
// (more files, or fewer at the end of the walk) throws "changed during the scan".
uint32_t CollectFiles(const std::string& path, std::vector<ScanRecord>& records, uint32_t capacity,
                      uint32_t nextIndex);

}  // namespace quarlix
