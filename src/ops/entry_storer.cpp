#include "ops/entry_storer.h"

#include <algorithm>

#include "archive/archive_format.h"
#include "archive/little_endian.h"
#include "cli/messages.h"
#include "ops/prepared_entries.h"

namespace quarlix {
namespace {

constexpr size_t kDirectoryPieceSize = 1 << 20;

}  // namespace

void CheckFileSizes(const std::vector<ScanRecord>& records, size_t first) {
  for (size_t index = first; index < records.size(); ++index) {
    if (records[index].FileSize >= kFormatLimit) {
      Fail(MessageId::kFileTooLarge, records[index].FileName);
    }
  }
}

// The row of one entry: the name and USize once the file has been read, the
// CSize once it has been written.
struct EntryStorer::Row {
  Console& console;
  ScanRecord& record;
  size_t prefixLength;
  bool started = false;

  void Start() {
    if (started) return;
    std::replace(record.FileName.begin(), record.FileName.end(), '\\', '/');
    console.RowName(std::string_view(record.FileName).substr(prefixLength));
    console.RowNumber(record.USize);
    started = true;
  }
  void Finish() {
    console.RowNumber(record.CSize);
    console.LineEnd();
  }
};

EntryStorer::EntryStorer(const ArchiveKey& key, Console& console, std::string archivePath,
                         ByteSink write)
    : key_(key),
      cipher_(key.data(), kArchiveKeyLength),
      encoder_(cipher_),
      console_(console),
      archivePath_(std::move(archivePath)),
      write_(std::move(write)) {}

void EntryStorer::Write(const uint8_t* data, size_t size) {
  if (position_ + size >= kFormatLimit) Fail(MessageId::kArchiveTooLarge, archivePath_);
  write_(data, size);
  position_ += size;
}

uint64_t EntryStorer::StoreFiles(std::vector<ScanRecord>& records, size_t first,
                                 size_t prefixLength, uint64_t position) {
  position_ = position;
  PreparedEntries prepared(records, first, key_, archivePath_);
  for (size_t index = first; index < records.size(); ++index) {
    ScanRecord& record = records[index];
    Row row{console_, record, prefixLength};
    record.DataOffset = static_cast<uint32_t>(position_);
    PreparedEntries::Entry* entry = prepared.Take(index);
    if (entry == nullptr) {
      StoreStreaming(record, row);
      continue;
    }
    if (entry->failure) {
      if (entry->failedWhileEncoding) row.Start();
      throw *entry->failure;
    }
    row.Start();
    prepared.WriteAndRelease(*entry, [&](const uint8_t* data, size_t size) { Write(data, size); });
    record.CSize = static_cast<uint32_t>(entry->cSize);
    row.Finish();
  }
  return position_;
}

void EntryStorer::StoreStreaming(ScanRecord& record, Row& row) {
  // Output is written as it comes. The row starts once the file has been read
  // whole, so a file that cannot be read is reported at the start of a line,
  // while a failure to encode or write comes after the row's name and USize.
  const uint64_t cSize = ReadAndEncode(
      record, encoder_, buffer_,
      [&](const uint8_t* data, size_t size) {
        try {
          Write(data, size);
        } catch (const FatalError&) {
          row.Start();
          throw;
        }
      },
      [&] { row.Start(); });
  row.Start();
  record.CSize = static_cast<uint32_t>(cSize);
  row.Finish();
}

void WriteDirectory(const std::vector<ScanRecord>& records, size_t prefixLength,
                    const ByteSink& write) {
  std::string piece;
  uint8_t count[kFileCountSize];
  EncodeFixed32(count, static_cast<uint32_t>(records.size()));
  piece.append(reinterpret_cast<const char*>(count), sizeof count);
  for (const ScanRecord& record : records) {
    const std::string_view name =
        std::string_view(record.FileName).substr(std::min(prefixLength, record.FileName.size()));
    AppendDirectoryEntry(
        piece, name,
        EntryFields{record.CSize, record.USize, record.DataOffset, record.EntryReserved});
    if (piece.size() >= kDirectoryPieceSize) {
      write(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
      piece.clear();
    }
  }
  piece.append(kDirectoryTailSize, '\0');
  write(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
}

}  // namespace quarlix
