// Extracting entries on every core, with the rows, the files and the failure
// reported exactly those of extracting them one by one.
//
// Worker threads (one per core) take the entries in directory order, and each
// decodes its entry into a temporary file beside the entry's destination. The
// finished files are then moved into place strictly in directory order, each
// followed by its row, by whichever worker finds the next one finished. The
// first entry that fails stops everything: the files of the entries before it
// are in place and their rows printed, and no file of a later entry is moved
// into place (their temporary files are removed). Folders are made in order
// too: an entry that needs a folder not made yet waits until every entry
// before it is in place.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "archive/archive_format.h"
#include "archive/blowfish.h"
#include "archive/byte_source.h"
#include "cli/console.h"
#include "cli/messages.h"
#include "ops/temporary_file.h"

namespace quarlix {

class ParallelExtractor {
 public:
  // Entries are read from source, an archive of archiveType, through cipher.
  ParallelExtractor(ByteSource& source, uint32_t archiveType, const KeyedCipher& cipher,
                    Console& console);
  // Stops the workers; files not yet moved into place are removed.
  ~ParallelExtractor();
  ParallelExtractor(const ParallelExtractor&) = delete;
  ParallelExtractor& operator=(const ParallelExtractor&) = delete;

  // Hands over the next entry in directory order; waits while many entries
  // are in progress. Throws the failure of an earlier entry, if any.
  void Add(const EntryFields& fields, std::string_view name);
  // Waits until every entry handed over is in place and its row printed.
  // Throws the failure of the first entry that failed, if any.
  void Finish();

 private:
  struct Slot {
    enum class State { kFree, kWaiting, kTaken, kDone };
    State state = State::kFree;
    EntryFields fields;
    std::string name;
    std::unique_ptr<TemporaryFile> output;  // the decoded file, once done
    uint32_t produced = 0;
    std::optional<FatalError> failure;
  };
  void Work();
  // Makes the parent folders of the entry at index, at path, unless they were
  // made before; waits first until every earlier entry is in place. False if
  // the run failed or ended meanwhile.
  bool MakeParentsInTurn(uint64_t index, const std::string& path);
  // Moves the finished files that are next in order into place; called by a
  // worker with the lock held, which it gives up while it writes.
  void CommitInOrder(std::unique_lock<std::mutex>& lock);
  Slot& SlotOf(uint64_t index) { return slots_[index % slots_.size()]; }

  ByteSource& source_;
  const uint32_t archiveType_;
  const KeyedCipher& cipher_;
  Console& console_;

  std::mutex mutex_;
  std::condition_variable workReady_;            // workers wait for an entry
  std::condition_variable slotsFreed_;           // Add and Finish wait for progress
  std::condition_variable turnReached_;          // workers wait to make folders in order
  std::vector<Slot> slots_;                      // a ring of the entries in progress
  uint64_t added_ = 0;                           // entries handed over
  uint64_t taken_ = 0;                           // entries a worker has taken
  uint64_t committed_ = 0;                       // entries in place and their rows printed
  bool committing_ = false;                      // a worker is moving files into place
  std::unordered_set<std::string> madeParents_;  // folders made (or found) in order
  bool stopping_ = false;
  std::optional<FatalError>
      failure_;  // of the first failing entry, once all before it are in place
  std::atomic<bool> cancelled_{false};  // a failure or the end: workers drop what they do
  std::vector<std::thread> threads_;
};

}  // namespace quarlix
