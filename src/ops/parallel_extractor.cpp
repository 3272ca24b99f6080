#include "ops/parallel_extractor.h"

#include <algorithm>
#include <new>

#include "archive/entry_codec.h"
#include "ops/extraction_path.h"

namespace quarlix {
namespace {

// Entries in progress at most: enough that a slow entry does not hold up the
// other workers, few enough that little is written ahead of a failure.
constexpr size_t kSlotCount = 64;

// Thrown inside a worker to drop an entry once the run has failed or ended.
struct Cancelled {};

// Decodes entries into temporary files beside their destinations; one per
// worker thread.
class EntryWriter {
 public:
  EntryWriter(ByteSource& source, uint32_t archiveType, const KeyedCipher& cipher,
              const std::atomic<bool>& cancelled)
      : source_(source), archiveType_(archiveType), decoder_(cipher), cancelled_(cancelled) {}

  // Refuses an entry whose stored bytes are out of bounds, before anything is
  // made for it.
  void Check(const EntryFields& fields, std::string_view name) {
    CheckEntryData(fields, archiveType_, source_.Size(), name);
  }

  // Writes the entry's file to path, closed, under a temporary name; returns
  // the number of bytes written. The parent folders must exist. Throws the
  // entry's failure.
  uint32_t Write(const EntryFields& fields, std::string_view name, const std::string& path,
                 TemporaryFile& output) {
    if (path.empty() || !output.Create(path)) Fail(MessageId::kUnableToCreateFile, name);
    const uint32_t produced =
        decoder_.Decode(source_, archiveType_, fields, name, [&](const uint8_t* data, size_t size) {
          if (cancelled_.load(std::memory_order_relaxed)) throw Cancelled{};
          if (!output.file().Write(data, size)) Fail(MessageId::kUnableToWriteToFile, name);
        });
    if (!output.Close()) Fail(MessageId::kUnableToWriteToFile, name);
    return produced;
  }

 private:
  ByteSource& source_;
  const uint32_t archiveType_;
  EntryDecoder decoder_;
  const std::atomic<bool>& cancelled_;
};

std::string_view ParentOf(std::string_view path) {
  const auto end = path.rfind('/');
  return path.substr(0, end == std::string_view::npos ? 0 : end);
}

}  // namespace

ParallelExtractor::ParallelExtractor(ByteSource& source, uint32_t archiveType,
                                     const KeyedCipher& cipher, Console& console)
    : source_(source),
      archiveType_(archiveType),
      cipher_(cipher),
      console_(console),
      slots_(kSlotCount) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  try {
    for (unsigned i = 0; i < std::min(cores, 8u); ++i) threads_.emplace_back([this] { Work(); });
  } catch (const std::system_error&) {
    if (threads_.empty()) throw std::bad_alloc();  // reported as out of memory
  }
}

ParallelExtractor::~ParallelExtractor() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    cancelled_ = true;
  }
  workReady_.notify_all();
  turnReached_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void ParallelExtractor::Add(const EntryFields& fields, std::string_view name) {
  std::unique_lock lock(mutex_);
  // Once the ring is full, wait until half of it is free, so that the workers
  // and this thread do not wake each other for every entry.
  if (added_ - committed_ == slots_.size()) {
    slotsFreed_.wait(lock, [&] { return failure_ || added_ - committed_ <= slots_.size() / 2; });
  }
  if (failure_) throw *failure_;
  Slot& slot = SlotOf(added_++);
  slot.state = Slot::State::kWaiting;
  slot.fields = fields;
  slot.name.assign(name);
  workReady_.notify_one();
}

void ParallelExtractor::Finish() {
  std::unique_lock lock(mutex_);
  slotsFreed_.wait(lock, [&] { return failure_ || committed_ == added_; });
  if (failure_) throw *failure_;
}

void ParallelExtractor::Work() {
  EntryWriter writer(source_, archiveType_, cipher_, cancelled_);
  std::unique_lock lock(mutex_);
  for (;;) {
    workReady_.wait(lock, [&] { return stopping_ || (taken_ < added_ && !failure_); });
    if (stopping_) return;
    const uint64_t index = taken_++;
    // The slot is this worker's until it is marked done: Add reuses a slot
    // only once its entry is committed.
    Slot& slot = SlotOf(index);
    slot.state = Slot::State::kTaken;
    lock.unlock();

    std::unique_ptr<TemporaryFile> output;
    std::optional<FatalError> failure;
    uint32_t produced = 0;
    try {
      output = std::make_unique<TemporaryFile>();
      writer.Check(slot.fields, slot.name);
      const std::string path(StripRoot(slot.name));
      if (!MakeParentsInTurn(index, path)) throw Cancelled{};
      produced = writer.Write(slot.fields, slot.name, path, *output);
    } catch (const FatalError& error) {
      failure = error;
    } catch (const std::bad_alloc&) {
      failure = MakeFatal(MessageId::kOutOfMemory);
    } catch (const Cancelled&) {
      // Only entries after a failure, or left at the end, are cancelled.
    }

    lock.lock();
    slot.output = std::move(output);
    slot.produced = produced;
    slot.failure = std::move(failure);
    slot.state = Slot::State::kDone;
    if (!committing_) CommitInOrder(lock);
  }
}

bool ParallelExtractor::MakeParentsInTurn(uint64_t index, const std::string& path) {
  const std::string parent(ParentOf(path));
  std::unique_lock lock(mutex_);
  if (madeParents_.contains(parent)) return true;
  // A folder is made only once every entry before this one is in place, as
  // when extracting one by one: an earlier entry may be a file at its path.
  turnReached_.wait(lock, [&] { return committed_ == index || failure_ || stopping_; });
  if (failure_ || stopping_) return false;
  lock.unlock();
  MakeParentDirectories(path);
  lock.lock();
  madeParents_.insert(parent);
  return true;
}

void ParallelExtractor::CommitInOrder(std::unique_lock<std::mutex>& lock) {
  committing_ = true;
  while (!failure_ && committed_ < added_ && SlotOf(committed_).state == Slot::State::kDone) {
    Slot& slot = SlotOf(committed_);
    lock.unlock();

    std::optional<FatalError> failure = std::move(slot.failure);
    if (!failure && (!slot.output || !slot.output->MoveIntoPlace())) {
      failure = MakeFatal(MessageId::kUnableToCreateFile, slot.name);
    }
    if (!failure) {
      try {
        console_.ListRow(slot.name, slot.fields.CSize, slot.produced);
      } catch (const FatalError& error) {
        failure = error;
      }
    }
    slot.output.reset();  // removes the temporary file if it was not moved

    lock.lock();
    slot.state = Slot::State::kFree;
    if (failure) {
      failure_ = std::move(failure);
      cancelled_ = true;
    } else {
      ++committed_;
    }
    if (failure_ || committed_ == added_ || added_ - committed_ == slots_.size() / 2) {
      slotsFreed_.notify_all();
    }
    turnReached_.notify_all();
  }
  committing_ = false;
}

}  // namespace quarlix
