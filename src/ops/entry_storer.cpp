#include "ops/entry_storer.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "archive/archive_format.h"
#include "archive/little_endian.h"
#include "cli/messages.h"
#include "fs/platform.h"

namespace quarlix {
namespace {

constexpr size_t kReadPieceSize = 1 << 20;
constexpr size_t kDirectoryPieceSize = 1 << 20;
// Encoded entries waiting in memory for their turn, at most.
constexpr uint64_t kPreparedBudget = 32 << 20;

// The most bytes an entry of size bytes can take once encoded.
uint64_t EncodedBound(uint64_t size) {
  return StoredLength(static_cast<uint32_t>(
      std::min<uint64_t>(compressBound(static_cast<uLong>(size)), UINT32_MAX - 7)));
}

// Reads a file by its scanned path and encodes it piece by piece. Failures to
// open or read the file are thrown before anything is encoded for the piece
// that failed; onEncodeFailure runs before an encoding failure is rethrown.
template <typename OnEncodeFailure>
uint64_t ReadAndEncode(const ScanRecord& record, EntryEncoder& encoder,
                       std::vector<uint8_t>& buffer, const ByteSink& sink,
                       OnEncodeFailure onEncodeFailure) {
  auto file = platform::File::OpenForReading(record.FileName);
  if (!file) Fail(MessageId::kCouldNotOpenFile, record.FileName);
  buffer.resize(kReadPieceSize);
  try {
    encoder.Begin();
  } catch (const FatalError&) {
    onEncodeFailure();
    throw;
  }
  for (uint64_t done = 0; done < record.USize;) {
    const size_t piece =
        static_cast<size_t>(std::min<uint64_t>(kReadPieceSize, record.USize - done));
    if (file->Read(buffer.data(), piece) != piece) Fail(MessageId::kErrorReadingFile);
    done += piece;
    try {
      encoder.Feed(buffer.data(), piece, sink);
    } catch (const FatalError&) {
      onEncodeFailure();
      throw;
    }
  }
  file.reset();
  try {
    return encoder.Finish(sink);
  } catch (const FatalError&) {
    onEncodeFailure();
    throw;
  }
}

// Entries encoded ahead by helper threads. The writing thread takes entries in
// scan order: one a helper has finished, or waits for one a helper is working
// on, or claims one nobody has taken and encodes it itself.
class PreparedEntries {
 public:
  struct Entry {
    enum class State { kFree, kTaken, kReady };
    State state = State::kFree;
    std::vector<uint8_t> stored;
    uint64_t cSize = 0;
    std::optional<FatalError> failure;
    bool failedWhileEncoding = false;  // the row starts before the message
    uint64_t reserved = 0;             // of the budget
  };

  PreparedEntries(const std::vector<ScanRecord>& records, size_t first, const ArchiveKey& key)
      : records_(records), entries_(records.size()), next_(first), key_(key) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t files = records.size() - first;
    const unsigned helpers = static_cast<unsigned>(std::min<size_t>(cores - 1, files / 2));
    for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { Work(); });
  }

  ~PreparedEntries() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (auto& thread : threads_) thread.join();
  }

  // The entry at index, ready, or nullptr when the caller is to encode it.
  Entry* Take(size_t index) {
    std::unique_lock lock(mutex_);
    current_ = index;
    Entry& entry = entries_[index];
    if (entry.state == Entry::State::kFree) {
      entry.state = Entry::State::kTaken;
      return nullptr;
    }
    changed_.wait(lock, [&] { return entry.state == Entry::State::kReady; });
    return &entry;
  }

  // Frees an entry's memory once it has been written.
  void Release(Entry& entry) {
    {
      std::lock_guard lock(mutex_);
      used_ -= entry.reserved;
      entry.reserved = 0;
      std::vector<uint8_t>().swap(entry.stored);
    }
    changed_.notify_all();
  }

 private:
  // Claims the first free entry after the writer's that fits in the budget.
  std::optional<size_t> Claim() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopping_) return std::nullopt;
      bool waiting = false;
      for (size_t index = std::max(next_, current_ + 1); index < entries_.size(); ++index) {
        Entry& entry = entries_[index];
        if (entry.state != Entry::State::kFree) continue;
        const uint64_t bound = EncodedBound(records_[index].USize);
        if (bound > kPreparedBudget) continue;  // left to the writer, which streams it
        if (used_ + bound > kPreparedBudget) {
          waiting = true;
          break;
        }
        entry.state = Entry::State::kTaken;
        entry.reserved = bound;
        used_ += bound;
        next_ = index + 1;
        return index;
      }
      if (!waiting) return std::nullopt;  // nothing left that a helper may take
      changed_.wait(lock);
    }
  }

  void Work() {
    const KeyedCipher cipher(key_.data(), kArchiveKeyLength);
    EntryEncoder encoder(cipher);
    std::vector<uint8_t> buffer;
    while (const auto index = Claim()) {
      Entry& entry = entries_[*index];
      const ScanRecord& record = records_[*index];
      std::vector<uint8_t> stored;
      stored.reserve(entry.reserved);
      std::optional<FatalError> failure;
      bool failedWhileEncoding = false;
      uint64_t cSize = 0;
      try {
        cSize = ReadAndEncode(
            record, encoder, buffer,
            [&](const uint8_t* data, size_t size) {
              stored.insert(stored.end(), data, data + size);
            },
            [&] { failedWhileEncoding = true; });
      } catch (const FatalError& error) {
        failure = error;
      } catch (const std::bad_alloc&) {
        failure = MakeFatal(MessageId::kOutOfMemory);
        failedWhileEncoding = true;
      }
      {
        std::lock_guard lock(mutex_);
        entry.stored = std::move(stored);
        entry.cSize = cSize;
        entry.failure = std::move(failure);
        entry.failedWhileEncoding = failedWhileEncoding;
        entry.state = Entry::State::kReady;
      }
      changed_.notify_all();
    }
  }

  const std::vector<ScanRecord>& records_;
  std::vector<Entry> entries_;
  size_t next_;         // helpers look for free entries from here on
  size_t current_ = 0;  // the entry the writer is at
  uint64_t used_ = 0;   // budget held by entries not yet written
  bool stopping_ = false;
  const ArchiveKey& key_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

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
  PreparedEntries prepared(records, first, key_);
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
    Write(entry->stored.data(), entry->stored.size());
    record.CSize = static_cast<uint32_t>(entry->cSize);
    prepared.Release(*entry);
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
