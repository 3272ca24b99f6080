// Reading an archive's header and directory, with the checks that keep a
// damaged or hostile archive from reaching outside the file or its buffers.
// Failures are thrown as FatalError with the reader's messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_format.h"
#include "archive/byte_source.h"

namespace quarlix {

struct ArchiveHeader {
  uint32_t DirectoryOffset = 0;
  uint32_t ArchiveType = 0;
};

// Checks, in this order: the file holds at least 36 bytes and the magic field,
// DirectoryOffset and ArchiveType can be read, and the type is 0, 1 or 2.
// archivePath names the archive in the messages.
ArchiveHeader ReadArchiveHeader(ByteSource& source, std::string_view archivePath);

// "Offset exceeds file size!" unless DirectoryOffset + 4 lies within the file.
void CheckDirectoryOffset(const ArchiveHeader& header, uint64_t archiveSize);

// Reads the directory's records in order, buffered, from a given position.
class DirectoryCursor {
 public:
  DirectoryCursor(ByteSource& source, uint64_t position);

  uint32_t ReadFileCount();
  // Reads NameLength, the name and the four fields, then skips EntryTail. A
  // NameLength beyond the end of the file fails without allocating it.
  void ReadEntry(DirectoryEntry& entry);
  uint64_t Position() const { return position_; }

 private:
  void Read(uint8_t* out, size_t size);
  void Fill(size_t wanted);

  ByteSource& source_;
  uint64_t position_;            // of the next byte to hand out
  std::vector<uint8_t> buffer_;  // bytes from bufferStart_
  uint64_t bufferStart_ = 0;
};

}  // namespace quarlix
