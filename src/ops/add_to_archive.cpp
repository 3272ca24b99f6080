// Adding files to an existing archive, in place.
//
// Old entry data is never read or moved: the new data goes where the old
// directory began, and a new directory (old entries first) follows it. The
// header's DirectoryOffset is the only commit point, and at every moment it
// points at a complete directory:
//   1. Every new file is read, compressed and enciphered into a staging file
//      beside the archive (a file that cannot be read fails here, with the
//      archive untouched), together with the old bytes that step 3 overwrites.
//   2. A copy of the old directory is written past the end of everything the
//      add writes, flushed, and the header pointed at it.
//   3. The new data and the new directory are written from the old
//      DirectoryOffset, flushed, and the header pointed at the new directory.
//   4. The file is cut after the new directory.
// A kill at any write leaves either the old entries or all entries readable. A
// reported failure puts the old bytes, the old DirectoryOffset and the old
// length back, so the archive is as it was.
#include <algorithm>
#include <optional>

#include "archive/archive_format.h"
#include "archive/archive_reader.h"
#include "archive/little_endian.h"
#include "cli/messages.h"
#include "fs/directory_scanner.h"
#include "fs/platform.h"
#include "ops/entry_storer.h"
#include "ops/operations.h"
#include "ops/temporary_file.h"

namespace quarlix {
namespace {

constexpr size_t kCopyPieceSize = 1 << 20;

struct OldArchive {
  uint64_t size = 0;
  uint32_t directoryOffset = 0;
  std::vector<ScanRecord> records;  // the old entries, then room for the new files
};

// Reads the old header and directory as adding needs them. Prints the two
// "got here" that scripts may match on.
OldArchive ReadOldArchive(const RunState& state, Console& console, uint32_t addCount) {
  auto file = platform::File::OpenForReading(state.ArchivePath);
  if (!file) Fail(MessageId::kCouldNotOpenFile, state.ArchivePath);
  const auto size = file->Size();
  if (!size) Fail(MessageId::kErrorReadingFile);
  FileSource source(*file, *size);

  uint8_t header[kHeaderSize] = {};
  const size_t got = source.ReadAt(0, header, kHeaderSize);
  if (!HasMagic(header)) Fail(MessageId::kNotValidArchive, state.ArchivePath);
  console.Write("got here");
  // A header cut short leaves the stream failed: the seek to DirectoryOffset
  // clears the end of file, so this is a read error, not an early end.
  if (got < kMinimumArchiveSize) Fail(MessageId::kErrorReadingFile);
  OldArchive old;
  old.size = *size;
  old.directoryOffset = DecodeFixed32(header + kDirectoryOffsetAt);
  if (uint64_t{old.directoryOffset} + kFileCountSize > old.size) FailRead(source);
  if (got < kHeaderSize || DecodeFixed32(header + kArchiveTypeAt) != EncryptedCompressed) {
    Fail(MessageId::kAddNeedsCompressedArchive, state.ArchivePath);
  }
  // New data is written from DirectoryOffset on: it must not reach into the header.
  if (old.directoryOffset < kHeaderSize) Fail(MessageId::kNotValidArchive, state.ArchivePath);

  DirectoryCursor cursor(source, old.directoryOffset);
  const uint32_t oldCount = cursor.ReadFileCount();
  // Every entry takes at least its fixed bytes: a count the rest of the file
  // cannot hold ends as its reading would, without allocating for it.
  const uint64_t room = old.size - cursor.Position();
  const bool countFits = uint64_t{oldCount} * kEntryOverhead <= room;
  if (countFits) old.records.resize(uint64_t{oldCount} + addCount);
  console.Write("got here");
  if (!countFits) Fail(MessageId::kUnexpectedEndOfFile);
  if (uint64_t{oldCount} + addCount >= kFormatLimit) {
    Fail(MessageId::kArchiveTooLarge, state.ArchivePath);
  }

  DirectoryEntry entry;
  for (uint32_t index = 0; index < oldCount; ++index) {
    cursor.ReadEntry(entry);
    ScanRecord& record = old.records[index];
    record.NameLength = static_cast<uint32_t>(entry.Name.size());
    record.FileName = std::move(entry.Name);
    record.CSize = entry.Fields.CSize;
    record.USize = entry.Fields.USize;
    record.DataOffset = entry.Fields.DataOffset;
    record.EntryReserved = entry.Fields.EntryReserved;
  }
  return old;
}

// Copies size bytes from one file to another, in pieces.
bool CopyBytes(platform::File& from, uint64_t fromOffset, platform::File& to, uint64_t toOffset,
               uint64_t size, std::vector<uint8_t>& buffer) {
  buffer.resize(kCopyPieceSize);
  for (uint64_t done = 0; done < size;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kCopyPieceSize, size - done));
    if (from.ReadAt(fromOffset + done, buffer.data(), piece) != piece) return false;
    if (!to.WriteAt(toOffset + done, buffer.data(), piece)) return false;
    done += piece;
  }
  return true;
}

std::string EncodeDirectory(const std::vector<ScanRecord>& records) {
  std::string directory;
  WriteDirectory(records, 0, [&](const uint8_t* data, size_t size) {
    directory.append(reinterpret_cast<const char*>(data), size);
  });
  return directory;
}

bool PointHeaderAt(platform::File& archive, uint64_t directoryOffset) {
  uint8_t offset[4];
  EncodeFixed32(offset, static_cast<uint32_t>(directoryOffset));
  return archive.WriteAt(kDirectoryOffsetAt, offset, sizeof offset) && archive.Sync();
}

// Puts back what CommitAdd changed: the overwritten old bytes (saved at
// savedAt in staging), the old DirectoryOffset and the old length.
void RestoreOldArchive(platform::File& archive, const OldArchive& old, platform::File& staging,
                       uint64_t savedAt, uint64_t savedSize, std::vector<uint8_t>& buffer) {
  CopyBytes(staging, savedAt, archive, old.directoryOffset, savedSize, buffer);
  PointHeaderAt(archive, old.directoryOffset);
  archive.Truncate(old.size);
  archive.Sync();
}

// Steps 2 to 4 of the protocol above. The new entries' stored bytes lie at the
// start of staging (stagedSize bytes). Returns false after putting the archive
// back as it was.
bool CommitAdd(platform::File& archive, const OldArchive& old, size_t oldCount,
               const std::vector<ScanRecord>& records, platform::File& staging,
               uint64_t stagedSize) {
  const std::string oldDirectory = EncodeDirectory(
      std::vector<ScanRecord>(records.begin(), records.begin() + static_cast<ptrdiff_t>(oldCount)));
  const std::string newDirectory = EncodeDirectory(records);
  const uint64_t newDirectoryOffset = old.directoryOffset + stagedSize;
  const uint64_t newEnd = newDirectoryOffset + newDirectory.size();
  const uint64_t copyOffset = std::max(old.size, newEnd);
  if (copyOffset >= kFormatLimit) return false;

  // Save the old bytes that the new data and directory will cover.
  std::vector<uint8_t> buffer;
  const uint64_t savedSize = std::min(old.size, newEnd) - old.directoryOffset;
  if (!CopyBytes(archive, old.directoryOffset, staging, stagedSize, savedSize, buffer)) {
    return false;
  }

  // The copy of the old directory, past everything the add writes.
  const auto* copy = reinterpret_cast<const uint8_t*>(oldDirectory.data());
  if (!archive.WriteAt(copyOffset, copy, oldDirectory.size()) || !archive.Sync() ||
      !PointHeaderAt(archive, copyOffset)) {
    RestoreOldArchive(archive, old, staging, stagedSize, 0, buffer);
    return false;
  }

  // The new data and directory over the old directory, then the commit.
  const auto* directory = reinterpret_cast<const uint8_t*>(newDirectory.data());
  if (!CopyBytes(staging, 0, archive, old.directoryOffset, stagedSize, buffer) ||
      !archive.WriteAt(newDirectoryOffset, directory, newDirectory.size()) || !archive.Sync() ||
      !PointHeaderAt(archive, newDirectoryOffset) || !archive.Truncate(newEnd) || !archive.Sync()) {
    RestoreOldArchive(archive, old, staging, stagedSize, savedSize, buffer);
    return false;
  }
  return true;
}

}  // namespace

void AddToArchive(const RunState& state, Console& console) {
  const uint32_t addCount = CountFiles(state.DirectoryPath);
  if (addCount == 0) Fail(MessageId::kNoFilesFound);
  OldArchive old = ReadOldArchive(state, console, addCount);
  const size_t oldCount = old.records.size() - addCount;

  console.TypeLine(EncryptedCompressed);
  console.AddCountLine(addCount);
  CollectFiles(state.DirectoryPath, old.records, static_cast<uint32_t>(old.records.size()),
               static_cast<uint32_t>(oldCount));
  CheckFileSizes(old.records, oldCount);

  auto archive = platform::File::OpenForUpdate(state.ArchivePath);
  TemporaryFile staging;
  if (archive && !staging.Create(state.ArchivePath)) archive.reset();
  console.StoreTableHeader();

  // Step 1: the new entries' stored bytes go to the staging file; their
  // offsets are those they will have in the archive.
  uint64_t stagedSize = 0;
  EntryStorer storer(*state.CurrentKey, console, state.ArchivePath,
                     [&](const uint8_t* data, size_t size) {
                       if (!archive || !staging.file().Write(data, size)) {
                         Fail(MessageId::kUnableToWriteToFile, state.ArchivePath);
                       }
                       stagedSize += size;
                     });
  storer.StoreFiles(old.records, oldCount, 0, old.directoryOffset);

  if (!CommitAdd(*archive, old, oldCount, old.records, staging.file(), stagedSize)) {
    Fail(MessageId::kUnableToWriteToFile, state.ArchivePath);
  }
  console.Write("\nFiles successfully added!\n");
}

}  // namespace quarlix
