#include "ops/extracted_file_writer.h"

#include "ops/extraction_path.h"
#include "ops/temporary_file.h"

namespace quarlix {
namespace {

// Decoded files waiting to be written, at most.
constexpr uint64_t kQueueBudget = 16 << 20;

}  // namespace

void FileCommitter::Commit(const std::string& path, std::string_view name,
                           const std::function<void(const ByteSink& write)>& produce) {
  MakeParentsOnce(path);
  TemporaryFile output;
  if (path.empty() || !output.Create(path)) Fail(MessageId::kUnableToCreateFile, name);
  produce([&](const uint8_t* data, size_t size) {
    if (!output.file().Write(data, size)) Fail(MessageId::kUnableToWriteToFile, name);
  });
  if (!output.Commit(false)) Fail(MessageId::kUnableToCreateFile, name);
}

void FileCommitter::MakeParentsOnce(const std::string& path) {
  const auto parentEnd = path.rfind('/');
  const std::string parent = parentEnd == std::string::npos ? "" : path.substr(0, parentEnd);
  if (parent == lastParent_) return;
  MakeParentDirectories(path);
  lastParent_ = parent;
}

ExtractedFileWriter::ExtractedFileWriter(Console& console, FileCommitter& committer)
    : console_(console), committer_(committer), thread_([this] { Work(); }) {}

ExtractedFileWriter::~ExtractedFileWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ExtractedFileWriter::Push(Job job) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return failure_ || queue_.empty() || queuedBytes_ < kQueueBudget; });
  if (failure_) throw *failure_;
  queuedBytes_ += job.bytes.size();
  queue_.push_back(std::move(job));
  changed_.notify_all();
}

void ExtractedFileWriter::Drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return failure_ || (queue_.empty() && !busy_); });
  if (failure_) throw *failure_;
}

void ExtractedFileWriter::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || (!queue_.empty() && !failure_); });
    if (stopping_) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();

    std::optional<FatalError> failure;
    try {
      committer_.Commit(job.path, job.name,
                        [&](const auto& write) { write(job.bytes.data(), job.bytes.size()); });
      console_.ListRow(job.name, job.cSize, static_cast<uint32_t>(job.bytes.size()));
    } catch (const FatalError& error) {
      failure = error;
    } catch (const std::bad_alloc&) {
      failure = MakeFatal(MessageId::kOutOfMemory);
    }

    lock.lock();
    busy_ = false;
    queuedBytes_ -= job.bytes.size();
    if (failure) {
      failure_ = std::move(failure);
      queue_.clear();  // nothing after a failure is written
    }
    changed_.notify_all();
  }
}

}  // namespace quarlix
