#include "ops/entry_storer.h"

#include <algorithm>

#include "archive/archive_format.h"
#include "archive/little_endian.h"
#include "cli/messages.h"
#include "fs/platform.h"

namespace quarlix {
namespace {

constexpr size_t kReadPieceSize = 1 << 20;
constexpr size_t kDirectoryPieceSize = 1 << 20;

}  // namespace

void CheckFileSizes(const std::vector<ScanRecord>& records, size_t first) {
  for (size_t index = first; index < records.size(); ++index) {
    if (records[index].FileSize >= kFormatLimit) {
      Fail(MessageId::kFileTooLarge, records[index].FileName);
    }
  }
}

EntryStorer::EntryStorer(const ArchiveKey& key, Console& console, std::string archivePath,
                         ByteSink write)
    : cipher_(key.data(), kArchiveKeyLength),
      encoder_(cipher_),
      console_(console),
      archivePath_(std::move(archivePath)),
      write_(std::move(write)) {}

uint64_t EntryStorer::StoreFiles(std::vector<ScanRecord>& records, size_t first,
                                 size_t prefixLength, uint64_t position) {
  position_ = position;
  for (size_t index = first; index < records.size(); ++index) {
    StoreFile(records[index], prefixLength);
  }
  return position_;
}

void EntryStorer::StoreFile(ScanRecord& record, size_t prefixLength) {
  record.DataOffset = static_cast<uint32_t>(position_);
  auto file = platform::File::OpenForReading(record.FileName);
  if (!file) Fail(MessageId::kCouldNotOpenFile, record.FileName);

  // The row starts once the whole file has been read, as a file that cannot be
  // read is reported at the start of a line; a failure to compress or write
  // comes after the row's name and USize.
  bool rowStarted = false;
  const auto startRow = [&] {
    if (rowStarted) return;
    std::replace(record.FileName.begin(), record.FileName.end(), '\\', '/');
    console_.RowName(std::string_view(record.FileName).substr(prefixLength));
    console_.RowNumber(record.USize);
    rowStarted = true;
  };
  const ByteSink sink = [&](const uint8_t* data, size_t size) {
    if (position_ + size >= kFormatLimit) Fail(MessageId::kArchiveTooLarge, archivePath_);
    write_(data, size);
    position_ += size;
  };

  buffer_.resize(kReadPieceSize);
  try {
    encoder_.Begin();
  } catch (const FatalError&) {
    startRow();
    throw;
  }
  for (uint64_t done = 0; done < record.USize;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kReadPieceSize, record.USize - done));
    if (file->Read(buffer_.data(), piece) != piece) Fail(MessageId::kErrorReadingFile);
    done += piece;
    try {
      encoder_.Feed(buffer_.data(), piece, sink);
    } catch (const FatalError&) {
      startRow();
      throw;
    }
  }
  file.reset();
  startRow();
  const uint64_t cSize = encoder_.Finish(sink);
  record.CSize = static_cast<uint32_t>(cSize);
  console_.RowNumber(record.CSize);
  console_.LineEnd();
}

void WriteDirectory(const std::vector<ScanRecord>& records, size_t prefixLength,
                    const ByteSink& write) {
  std::string piece;
  uint8_t count[kFileCountSize];
  EncodeFixed32(count, static_cast<uint32_t>(records.size()));
  piece.append(reinterpret_cast<const char*>(count), sizeof count);
  for (const ScanRecord& record : records) {
    const std::string_view name = std::string_view(record.FileName).substr(
        std::min(prefixLength, record.FileName.size()));
    AppendDirectoryEntry(piece, name,
                         EntryFields{record.CSize, record.USize, record.DataOffset,
                                     record.EntryReserved});
    if (piece.size() >= kDirectoryPieceSize) {
      write(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
      piece.clear();
    }
  }
  piece.append(kDirectoryTailSize, '\0');
  write(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
}

}  // namespace quarlix
