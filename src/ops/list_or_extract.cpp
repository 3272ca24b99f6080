// Listing and extraction.
//
// Extraction writes only below the current directory: before any file is
// written every readable entry name is checked, and one with a ".." component
// stops the run; a leading root or drive is dropped. Each file is decoded into
// a temporary file beside its destination and moved over it only when whole,
// so a damaged entry leaves no file and a symbolic link at the destination is
// replaced, never written through.
#include <string>

#include "archive/archive_reader.h"
#include "archive/entry_codec.h"
#include "cli/messages.h"
#include "fs/platform.h"
#include "ops/extraction_path.h"
#include "ops/operations.h"
#include "ops/read_archive.h"
#include "ops/temporary_file.h"

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

class Extractor {
 public:
  Extractor(ByteSource& source, uint32_t archiveType, const ArchiveKey& key, bool writeFiles)
      : source_(source),
        archiveType_(archiveType),
        cipher_(key.data(), kArchiveKeyLength),
        decoder_(cipher_),
        writeFiles_(writeFiles) {}

  // Decodes one entry to its file; returns the USize to show in its row.
  uint32_t Extract(const EntryFields& fields, std::string_view name) {
    CheckEntryData(fields, archiveType_, source_.Size(), name);
    if (!writeFiles_) {
      return decoder_.Decode(source_, archiveType_, fields, name, [](const uint8_t*, size_t) {});
    }

    const std::string path(StripRoot(name));
    const auto parentEnd = path.rfind('/');
    const std::string parent = parentEnd == std::string::npos ? "" : path.substr(0, parentEnd);
    if (parent != lastParent_) {
      MakeParentDirectories(path);
      lastParent_ = parent;
    }
    TemporaryFile output;
    if (path.empty() || !output.Create(path)) Fail(MessageId::kUnableToCreateFile, name);
    const uint32_t produced =
        decoder_.Decode(source_, archiveType_, fields, name, [&](const uint8_t* data, size_t size) {
          if (!output.file().Write(data, size)) Fail(MessageId::kUnableToWriteToFile, name);
        });
    if (!output.Commit(false)) Fail(MessageId::kUnableToCreateFile, name);
    return produced;
  }

 private:
  ByteSource& source_;
  uint32_t archiveType_;
  KeyedCipher cipher_;
  EntryDecoder decoder_;
  bool writeFiles_;
  std::string lastParent_ = "\n";  // no parent made yet
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
  Extractor extractor(source, header.ArchiveType, key, mode == ReadMode::kExtract);

  DirectoryEntry entry;
  for (uint32_t index = 0; index < fileCount; ++index) {
    cursor.ReadEntry(entry);
    const std::string_view name = NameAsText(entry.Name);
    uint32_t shownSize = entry.Fields.USize;
    if (extracting) shownSize = extractor.Extract(entry.Fields, name);
    console.RowName(name);
    console.RowNumber(entry.Fields.CSize);
    console.RowNumber(shownSize);
    console.LineEnd();
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
