// Encoding the files to store ahead of the writer, on every core.
//
// Helper threads (one per core) read and encode the files after the one the
// writer is at. The writer takes entries in scan order: one a helper has
// finished, or waits for one a helper is working on, or, for one nobody has
// taken, encodes it itself. Rows, archive bytes and the failure reported are
// exactly those of storing the files one by one.
//
// Encoded bytes wait in chunks of a fixed size, allocated once and reused,
// never more than a fixed budget: memory does not depend on the files' sizes.
// A helper reserves the chunks an entry could need before it starts on it, so
// it never waits for memory that entries behind the writer hold, and gives back
// what it did not use as soon as the entry is encoded. Large files, and any
// file once the chunks run out, are encoded into spill files beside the archive
// instead, within a budget of their own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_keys.h"
#include "archive/entry_codec.h"
#include "cli/messages.h"
#include "fs/directory_scanner.h"
#include "ops/temporary_file.h"

namespace quarlix {

// Reads a file by its scanned path and encodes it piece by piece into sink;
// returns its CSize. A file that cannot be opened or read fails before
// anything of the failing piece is encoded; onEncodeFailure runs before a
// failure to encode or to write is passed on.
uint64_t ReadAndEncode(const ScanRecord& record, EntryEncoder& encoder,
                       std::vector<uint8_t>& buffer, const ByteSink& sink,
                       const std::function<void()>& onEncodeFailure);

class PreparedEntries {
 public:
  struct Entry {
    enum class State { kFree, kTaken, kReady };
    State state = State::kFree;
    std::vector<uint8_t*> chunks;          // the encoded bytes, a chunk at a time
    std::unique_ptr<TemporaryFile> spill;  // or, for a large file, a file beside the archive
    uint64_t spillReserved = 0;            // of the spill budget, while spilled
    uint64_t size = 0;
    uint64_t cSize = 0;
    std::optional<FatalError> failure;
    bool failedWhileEncoding = false;  // the row starts before the message
  };

  // Starts the helpers on records[first..]. Spill files go beside archivePath.
  PreparedEntries(const std::vector<ScanRecord>& records, size_t first, const ArchiveKey& key,
                  const std::string& archivePath);
  ~PreparedEntries();
  PreparedEntries(const PreparedEntries&) = delete;
  PreparedEntries& operator=(const PreparedEntries&) = delete;

  // The entry at index, once ready, or nullptr when the caller is to encode it.
  Entry* Take(size_t index);
  // Hands the entry's bytes to write, in order, then frees its chunks or
  // removes its spill file.
  void WriteAndRelease(Entry& entry, const ByteSink& write);

 private:
  std::optional<size_t> Claim();
  void GiveBack(std::vector<uint8_t*>& chunks, size_t from);
  uint64_t EncodeToSpill(const ScanRecord& record, EntryEncoder& encoder,
                         std::vector<uint8_t>& buffer, Entry& entry, uint64_t& size,
                         bool& failedWhileEncoding);
  void Work();

  const std::vector<ScanRecord>& records_;
  std::vector<Entry> entries_;
  size_t next_;                                        // helpers look for free entries from here on
  size_t current_ = 0;                                 // the entry the writer is at
  std::vector<std::unique_ptr<uint8_t[]>> allocated_;  // every chunk made so far
  std::vector<uint8_t*> freeChunks_;
  uint64_t spilledBytes_ = 0;  // spill budget held by entries not yet written
  bool stopping_ = false;
  const ArchiveKey& key_;
  const std::string& archivePath_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::thread> threads_;
};

}  // namespace quarlix
