#include "ops/entry_storer.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "archive/archive_format.h"
#include "archive/little_endian.h"
#include "cli/messages.h"
#include "fs/platform.h"
#include "ops/temporary_file.h"

namespace quarlix {
namespace {

constexpr size_t kReadPieceSize = 1 << 20;
constexpr size_t kDirectoryPieceSize = 1 << 20;
// Encoded entries waiting in memory for their turn are kept in chunks of this
// size, at most kChunkLimit of them (24 MiB).
constexpr size_t kChunkSize = 256 << 10;
constexpr size_t kChunkLimit = 96;
// Larger files are left to the writing thread, which streams them straight to
// the archive while the helpers go on with the files after them: one large file
// never holds the whole budget.
constexpr size_t kHelperChunkLimit = 16;
// Helpers encode larger files, and any file once the chunks run out, into
// spill files beside the archive instead, at most this many bytes ahead, and
// the writer copies them into the archive.
constexpr uint64_t kSpillBudget = 256 << 20;

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
//
// Encoded bytes are kept in chunks of a fixed size, allocated once and reused,
// never more than the budget: memory does not depend on the files' sizes. A
// helper reserves the chunks an entry could need before it starts on it, so it
// never waits for memory that entries behind the writer hold, and gives back
// what it did not use as soon as the entry is encoded.
class PreparedEntries {
 public:
  struct Entry {
    enum class State { kFree, kTaken, kReady };
    State state = State::kFree;
    std::vector<uint8_t*> chunks;          // the encoded bytes, kChunkSize per chunk
    std::unique_ptr<TemporaryFile> spill;  // or, for a large file, a file beside the archive
    uint64_t spillReserved = 0;            // of the spill budget, while spilled
    uint64_t size = 0;
    uint64_t cSize = 0;
    std::optional<FatalError> failure;
    bool failedWhileEncoding = false;  // the row starts before the message
  };

  PreparedEntries(const std::vector<ScanRecord>& records, size_t first, const ArchiveKey& key,
                  const std::string& archivePath)
      : records_(records),
        entries_(records.size()),
        next_(first),
        key_(key),
        archivePath_(archivePath) {
    // One helper per core: the writing thread mostly waits for them, and
    // otherwise encodes what none of them has taken.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t files = records.size() - first;
    const unsigned helpers = static_cast<unsigned>(std::min<size_t>(cores, files - 1));
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

  // Hands the entry's bytes to write, in order, then frees its chunks or
  // removes its spill file.
  void WriteAndRelease(Entry& entry, const ByteSink& write) {
    if (entry.spill) {
      std::vector<uint8_t> buffer(kChunkSize);
      for (uint64_t done = 0; done < entry.size;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(kChunkSize, entry.size - done));
        if (entry.spill->file().ReadAt(done, buffer.data(), piece) != piece) {
          Fail(MessageId::kErrorReadingFile);
        }
        write(buffer.data(), piece);
        done += piece;
      }
      entry.spill.reset();
    }
    for (size_t chunk = 0; chunk < entry.chunks.size(); ++chunk) {
      const uint64_t offset = chunk * kChunkSize;
      write(entry.chunks[chunk],
            static_cast<size_t>(std::min<uint64_t>(kChunkSize, entry.size - offset)));
    }
    {
      std::lock_guard lock(mutex_);
      GiveBack(entry.chunks, 0);
      spilledBytes_ -= entry.spillReserved;
      entry.spillReserved = 0;
    }
    changed_.notify_all();
  }

 private:
  static size_t ChunksFor(uint64_t bytes) {
    return static_cast<size_t>((bytes + kChunkSize - 1) / kChunkSize);
  }

  // Returns chunks[from..] to the free list; the caller holds the lock.
  void GiveBack(std::vector<uint8_t*>& chunks, size_t from) {
    freeChunks_.insert(freeChunks_.end(), chunks.begin() + static_cast<ptrdiff_t>(from),
                       chunks.end());
    chunks.resize(from);
  }

  // Claims the first free entry after the writer's that can be encoded ahead,
  // and reserves room for it: chunks for a small file while there are enough,
  // a spill file for a large one or once the chunks run out, within the spill
  // budget. A large file that finds no room is left to the writer, which
  // streams it; a small one waits for chunks.
  std::optional<size_t> Claim() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopping_) return std::nullopt;
      bool waiting = false;
      std::optional<size_t> skipped;  // the first free entry passed over
      for (size_t index = std::max(next_, current_ + 1); index < entries_.size(); ++index) {
        Entry& entry = entries_[index];
        if (entry.state != Entry::State::kFree) continue;
        const uint64_t bound = EncodedBound(records_[index].USize);
        const size_t needed = ChunksFor(bound);
        const bool large = needed > kHelperChunkLimit;
        const size_t available = freeChunks_.size() + (kChunkLimit - allocated_.size());
        if (!large && needed <= available) {
          while (freeChunks_.size() < needed) {
            allocated_.push_back(std::make_unique<uint8_t[]>(kChunkSize));
            freeChunks_.push_back(allocated_.back().get());
          }
          entry.chunks.assign(freeChunks_.end() - static_cast<ptrdiff_t>(needed),
                              freeChunks_.end());
          freeChunks_.resize(freeChunks_.size() - needed);
        } else if (spilledBytes_ == 0 || spilledBytes_ + bound <= kSpillBudget) {
          spilledBytes_ += bound;
          entry.spillReserved = bound;
        } else if (large) {
          if (!skipped) skipped = index;
          continue;
        } else {
          waiting = true;
          break;
        }
        entry.state = Entry::State::kTaken;
        next_ = skipped.value_or(index + 1);
        return index;
      }
      if (!waiting) return std::nullopt;  // nothing left that a helper may take
      changed_.wait(lock);
    }
  }

  // Encodes a large file into a spill file beside the archive. A spill file
  // that cannot be written fails as the archive would.
  uint64_t EncodeToSpill(const ScanRecord& record, EntryEncoder& encoder,
                         std::vector<uint8_t>& buffer, Entry& entry, uint64_t& size,
                         bool& failedWhileEncoding) {
    entry.spill = std::make_unique<TemporaryFile>();
    const bool created = entry.spill->Create(archivePath_);
    return ReadAndEncode(
        record, encoder, buffer,
        [&](const uint8_t* data, size_t count) {
          if (!created || !entry.spill->file().Write(data, count)) {
            Fail(MessageId::kUnableToWriteToFile, archivePath_);
          }
          size += count;
        },
        [&] { failedWhileEncoding = true; });
  }

  void Work() {
    const KeyedCipher cipher(key_.data(), kArchiveKeyLength);
    EntryEncoder encoder(cipher);
    std::vector<uint8_t> buffer;
    while (const auto index = Claim()) {
      Entry& entry = entries_[*index];
      uint64_t size = 0;
      std::optional<FatalError> failure;
      bool failedWhileEncoding = false;
      uint64_t cSize = 0;
      try {
        if (entry.spillReserved > 0) {
          cSize =
              EncodeToSpill(records_[*index], encoder, buffer, entry, size, failedWhileEncoding);
        } else {
          cSize = ReadAndEncode(
              records_[*index], encoder, buffer,
              [&](const uint8_t* data, size_t count) {
                while (count > 0) {
                  // The reserved chunks hold the largest encoding a file can have.
                  const size_t at = static_cast<size_t>(size % kChunkSize);
                  const size_t piece = std::min(count, kChunkSize - at);
                  std::memcpy(entry.chunks[static_cast<size_t>(size / kChunkSize)] + at, data,
                              piece);
                  size += piece;
                  data += piece;
                  count -= piece;
                }
              },
              [&] { failedWhileEncoding = true; });
        }
      } catch (const FatalError& error) {
        failure = error;
      }
      if (failure) entry.spill.reset();
      {
        std::lock_guard lock(mutex_);
        GiveBack(entry.chunks, failure || entry.spill ? 0 : ChunksFor(size));
        entry.size = size;
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
  size_t next_;                                        // helpers look for free entries from here on
  size_t current_ = 0;                                 // the entry the writer is at
  std::vector<std::unique_ptr<uint8_t[]>> allocated_;  // every chunk, at most kChunkLimit
  std::vector<uint8_t*> freeChunks_;
  bool stopping_ = false;
  const ArchiveKey& key_;
  const std::string& archivePath_;
  uint64_t spilledBytes_ = 0;  // spill budget held by entries not yet written
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
