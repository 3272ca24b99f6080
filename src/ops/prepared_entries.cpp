#include "ops/prepared_entries.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "archive/archive_format.h"
#include "fs/platform.h"

namespace quarlix {
namespace {

constexpr size_t kReadPieceSize = 1 << 20;
// Encoded entries waiting in memory for their turn are kept in chunks of this
// size, at most kChunkLimit of them (24 MiB).
constexpr size_t kChunkSize = 256 << 10;
constexpr size_t kChunkLimit = 96;
// A file whose encoding could take more chunks than this goes to a spill file,
// so that one large file never holds the whole budget.
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

size_t ChunksFor(uint64_t bytes) {
  return static_cast<size_t>((bytes + kChunkSize - 1) / kChunkSize);
}

}  // namespace

uint64_t ReadAndEncode(const ScanRecord& record, EntryEncoder& encoder,
                       std::vector<uint8_t>& buffer, const ByteSink& sink,
                       const std::function<void()>& onEncodeFailure) {
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

PreparedEntries::PreparedEntries(const std::vector<ScanRecord>& records, size_t first,
                                 const ArchiveKey& key, const std::string& archivePath)
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

PreparedEntries::~PreparedEntries() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (auto& thread : threads_) thread.join();
}

// The entry at index, ready, or nullptr when the caller is to encode it.
PreparedEntries::Entry* PreparedEntries::Take(size_t index) {
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
void PreparedEntries::WriteAndRelease(Entry& entry, const ByteSink& write) {
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

// Returns chunks[from..] to the free list; the caller holds the lock.
void PreparedEntries::GiveBack(std::vector<uint8_t*>& chunks, size_t from) {
  freeChunks_.insert(freeChunks_.end(), chunks.begin() + static_cast<ptrdiff_t>(from),
                     chunks.end());
  chunks.resize(from);
}

// Claims the first free entry after the writer's that can be encoded ahead,
// and reserves room for it: chunks for a small file while there are enough,
// a spill file for a large one or once the chunks run out, within the spill
// budget. A large file that finds no room is left to the writer, which
// streams it; a small one waits for chunks.
std::optional<size_t> PreparedEntries::Claim() {
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
        entry.chunks.assign(freeChunks_.end() - static_cast<ptrdiff_t>(needed), freeChunks_.end());
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
uint64_t PreparedEntries::EncodeToSpill(const ScanRecord& record, EntryEncoder& encoder,
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

void PreparedEntries::Work() {
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
        cSize = EncodeToSpill(records_[*index], encoder, buffer, entry, size, failedWhileEncoding);
      } else {
        cSize = ReadAndEncode(
            records_[*index], encoder, buffer,
            [&](const uint8_t* data, size_t count) {
              while (count > 0) {
                // The reserved chunks hold the largest encoding a file can have.
                const size_t at = static_cast<size_t>(size % kChunkSize);
                const size_t piece = std::min(count, kChunkSize - at);
                std::memcpy(entry.chunks[static_cast<size_t>(size / kChunkSize)] + at, data, piece);
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

}  // namespace quarlix
