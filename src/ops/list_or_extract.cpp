// Listing and extraction.
//
// Extraction writes only below the current directory: before any file is
// written every readable entry name is checked, and one with a ".." component
// stops the run; a leading root or drive is dropped. Each file is decoded into
// a temporary file beside its destination and moved over it only when whole,
// so a damaged entry leaves no file and a symbolic link at the destination is
// replaced, never written through. Files are decoded on every core and moved
// into place in directory order (ops/parallel_extractor.h).
#include <optional>
#include <string>

#include "archive/archive_reader.h"
#include "archive/entry_codec.h"
#include "cli/messages.h"
#include "fs/platform.h"
#include "ops/extraction_path.h"
#include "ops/operations.h"
#include "ops/parallel_extractor.h"
#include "ops/read_archive.h"

namespace quarlix {
namespace {

// Every name that can be read in the directory must stay below the current
// directory. Reading stops quietly at the first broken record: the main loop
// reports it in its place.
void CheckEntryNames(ByteSource& source, uint64_t firstEntry, uint32_t fileCount) {
  DirectoryCursor cursor(source, firstEntry);
  DirectoryEntry entry;
  for (uint32_t index = 0; index < fileCount; ++index) {
    try {
      cursor.ReadEntry(entry);
    } catch (const FatalError&) {
      return;
    }
    // The name is checked as it is written: without its root or drive, so
    // that "C:../x" cannot climb out once "C:" has gone.
    const std::string_view name = NameAsText(entry.Name);
    if (HasParentComponent(name) || HasParentComponent(StripRoot(name))) {
      Fail(MessageId::kUnsafeEntryName, name);
    }
  }
}

// Decodes entries in directory order: in the extracting mode into their files
// on every core (rows printed as each is in place), otherwise only to check
// them (rows printed as each is decoded).
class Extractor {
 public:
  Extractor(ByteSource& source, uint32_t archiveType, const ArchiveKey& key, ReadMode mode,
            Console& console)
      : source_(source),
        archiveType_(archiveType),
        cipher_(key.data(), kArchiveKeyLength),
        decoder_(cipher_),
        console_(console) {
    if (mode == ReadMode::kExtract) parallel_.emplace(source, archiveType, cipher_, console);
  }

  void Handle(const EntryFields& fields, std::string_view name) {
    if (parallel_) {
      parallel_->Add(fields, name);
      return;
    }
    CheckEntryData(fields, archiveType_, source_.Size(), name);
    const uint32_t produced =
        decoder_.Decode(source_, archiveType_, fields, name, [](const uint8_t*, size_t) {});
    console_.ListRow(name, fields.CSize, produced);
  }

  // Waits until every entry handed over is done.
  void Finish() {
    if (parallel_) parallel_->Finish();
  }

 private:
  ByteSource& source_;
  uint32_t archiveType_;
  KeyedCipher cipher_;
  EntryDecoder decoder_;
  Console& console_;
  std::optional<ParallelExtractor> parallel_;
};

}  // namespace

void ReadArchive(ByteSource& source, std::string_view archivePath, const ArchiveKey& key,
                 ReadMode mode, Console& console) {
  const ArchiveHeader header = ReadArchiveHeader(source, archivePath);
  console.TypeLine(header.ArchiveType);
  CheckDirectoryOffset(header, source.Size());
  DirectoryCursor cursor(source, header.DirectoryOffset);
  const uint32_t fileCount = cursor.ReadFileCount();
  console.CountLine(fileCount);
  if (fileCount == 0) Fail(MessageId::kNoFilesInArchive);
  console.ListTableHeader();

  const bool extracting = mode != ReadMode::kList;
  if (mode == ReadMode::kExtract) CheckEntryNames(source, cursor.Position(), fileCount);
  Extractor extractor(source, header.ArchiveType, key, mode, console);

  DirectoryEntry entry;
  try {
    for (uint32_t index = 0; index < fileCount; ++index) {
      cursor.ReadEntry(entry);
      const std::string_view name = NameAsText(entry.Name);
      if (extracting) {
        extractor.Handle(entry.Fields, name);
      } else {
        console.ListRow(name, entry.Fields.CSize, entry.Fields.USize);
      }
    }
    extractor.Finish();
  } catch (...) {
    // The entries before the failing one come first: their files and rows,
    // or the failure of one of them, which then stands in its place.
    extractor.Finish();
    throw;
  }
  console.LineEnd();
  console.Write(extracting ? "Files successfully uncompressed!\n"
                           : "Files listed, not uncompressed!\n");
}

void ListOrExtract(const RunState& state, Console& console) {
  auto file = platform::File::OpenForReading(state.ArchivePath);
  if (!file) Fail(MessageId::kCouldNotOpenFile, state.ArchivePath);
  const auto size = file->Size();
  if (!size) Fail(MessageId::kCouldNotOpenFile, state.ArchivePath);
  FileSource source(*file, *size);
  ReadArchive(source, state.ArchivePath, *state.CurrentKey,
              state.Options.Decompress ? ReadMode::kExtract : ReadMode::kList, console);
}

}  // namespace quarlix
