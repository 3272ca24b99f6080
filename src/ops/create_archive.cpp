// Creating an archive from a directory (c), and packing a dropped directory.
//
// The new archive is written to a temporary file beside ArchivePath and moved
// over it only when complete and flushed to the device, so a run that fails at
// any point leaves an older archive at ArchivePath untouched and no temporary
// file behind.
#include <cstring>

#include "archive/archive_format.h"
#include "archive/little_endian.h"
#include "cli/messages.h"
#include "fs/directory_scanner.h"
#include "fs/platform.h"
#include "ops/entry_storer.h"
#include "ops/operations.h"
#include "ops/temporary_file.h"

namespace quarlix {
namespace {

// Opens the temporary file for the new archive, after making sure that an
// archive already at ArchivePath could be written at all. An archive reached
// through a symbolic link is replaced where it is; the link stays.
void OpenNewArchive(const std::string& archivePath, TemporaryFile& output) {
  const std::string target = platform::ResolveLinks(archivePath);
  const bool replacing = platform::PathExists(target);
  if (replacing && !platform::File::OpenForUpdate(target)) {
    Fail(MessageId::kCouldNotOpenFile, archivePath);
  }
  if (!output.Create(target)) Fail(MessageId::kCouldNotOpenFile, archivePath);
  if (replacing) output.file().CopyPermissionsFrom(target);
}

// How much of the new archive is written between two starts of the device's
// writes.
constexpr uint64_t kWritebackStep = 8 << 20;

// prefixLength: the bytes left out at the front of every stored name (the
// dropped directory and its separator), 0 when creating.
void WriteNewArchive(const RunState& state, Console& console, size_t prefixLength) {
  const uint32_t fileCount = CountFiles(state.DirectoryPath);
  if (fileCount == 0) Fail(MessageId::kNoFilesFound);
  console.TypeLine(EncryptedCompressed);
  console.CountLine(fileCount);

  std::vector<ScanRecord> records(fileCount);
  CollectFiles(state.DirectoryPath, records, fileCount, 0);
  CheckFileSizes(records, 0);

  TemporaryFile output;
  OpenNewArchive(state.ArchivePath, output);
  platform::File& archive = output.file();
  // The archive is flushed to the device before it replaces the old one;
  // starting the device's writes as the archive grows leaves that flush
  // little to wait for.
  uint64_t written = 0;
  uint64_t writebackStarted = 0;
  const auto write = [&](const uint8_t* data, size_t size) {
    if (!archive.Write(data, size)) Fail(MessageId::kUnableToWriteToFile, state.ArchivePath);
    written += size;
    if (written - writebackStarted >= kWritebackStep) {
      archive.StartWriteback(writebackStarted, written - writebackStarted);
      writebackStarted = written;
    }
  };

  uint8_t header[kHeaderSize];
  EncodeHeader(header, 0, EncryptedCompressed);
  write(header, sizeof header);
  console.StoreTableHeader();

  EntryStorer storer(*state.CurrentKey, console, state.ArchivePath, write);
  const uint64_t directoryOffset = storer.StoreFiles(records, 0, prefixLength, kHeaderSize);
  WriteDirectory(records, prefixLength, write);

  uint8_t offset[4];
  EncodeFixed32(offset, static_cast<uint32_t>(directoryOffset));
  if (!archive.WriteAt(kDirectoryOffsetAt, offset, sizeof offset) ||
      !output.Commit(/*durable=*/true)) {
    Fail(MessageId::kUnableToWriteToFile, state.ArchivePath);
  }
  console.Write("\nFiles successfully compressed!\n");
}

}  // namespace

void CreateArchive(const RunState& state, Console& console) { WriteNewArchive(state, console, 0); }

void PackDroppedDirectory(const RunState& state, Console& console) {
  // Every scanned path begins with the directory and one separator.
  WriteNewArchive(state, console, state.DirectoryPath.size() + 1);
}

}  // namespace quarlix
