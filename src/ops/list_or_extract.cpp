// Listing and extraction.
//
// Extraction writes only below the current directory: before any file is
// written every readable entry name is checked, and one with a ".." component
// stops the run; a leading root or drive is dropped. Each file is decoded into
// a temporary file beside its destination and moved over it only when whole,
// so a damaged entry leaves no file and a symbolic link at the destination is
// replaced, never written through.
#include <optional>
#include <string>

#include "archive/archive_reader.h"
#include "archive/entry_codec.h"
#include "cli/messages.h"
#include "fs/platform.h"
#include "ops/extracted_file_writer.h"
#include "ops/extraction_path.h"
#include "ops/operations.h"
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

// Entries up to this size are decoded into memory and handed to the writer
// thread; larger ones are streamed to their file once the writer is idle.
constexpr uint32_t kQueuedEntryLimit = 1 << 20;

// Decodes entries, and in the extracting mode has their files written and
// their rows printed, in directory order.
class Extractor {
 public:
  Extractor(ByteSource& source, uint32_t archiveType, const ArchiveKey& key, ReadMode mode,
            Console& console)
      : source_(source),
        archiveType_(archiveType),
        cipher_(key.data(), kArchiveKeyLength),
        decoder_(cipher_),
        console_(console) {
    if (mode == ReadMode::kExtract) writer_.emplace(console, committer_);
  }

  void Handle(const EntryFields& fields, std::string_view name) {
    CheckEntryData(fields, archiveType_, source_.Size(), name);
    if (!writer_) {
      const uint32_t produced =
          decoder_.Decode(source_, archiveType_, fields, name, [](const uint8_t*, size_t) {});
      console_.ListRow(name, fields.CSize, produced);
      return;
    }
    const std::string path(StripRoot(name));
    if (fields.USize <= kQueuedEntryLimit) {
      ExtractedFileWriter::Job job{path, std::string(name), {}, fields.CSize};
      job.bytes.reserve(fields.USize);
      decoder_.Decode(source_, archiveType_, fields, name, [&](const uint8_t* data, size_t size) {
        job.bytes.insert(job.bytes.end(), data, data + size);
      });
      writer_->Push(std::move(job));
      return;
    }
    writer_->Drain();
    uint32_t produced = 0;
    committer_.Commit(path, name, [&](const ByteSink& write) {
      produced = decoder_.Decode(source_, archiveType_, fields, name, write);
    });
    console_.ListRow(name, fields.CSize, produced);
  }

  // Waits until every file handed over is written and its row printed.
  void Finish() {
    if (writer_) writer_->Drain();
  }

 private:
  ByteSource& source_;
  uint32_t archiveType_;
  KeyedCipher cipher_;
  EntryDecoder decoder_;
  Console& console_;
  FileCommitter committer_;
  std::optional<ExtractedFileWriter> writer_;
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
