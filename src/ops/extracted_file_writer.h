// Writes extracted files on a thread of its own, in the order they come, so
// that decoding the next entries goes on meanwhile. Each file is written to a
// temporary file beside its destination and moved over it when whole; then
// its row is printed. The first failure stops the writing: no later file is
// written and no later row printed, and the failure reaches the caller at its
// next call.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/entry_codec.h"
#include "cli/console.h"
#include "cli/messages.h"

namespace quarlix {

// Writes one file whole: makes its parent directories, has produce() write the
// file's bytes to a temporary file, and moves it over path. name names the
// entry in messages. Remembers the last parent made, so the entries of one
// folder cost one check.
class FileCommitter {
 public:
  void Commit(const std::string& path, std::string_view name,
              const std::function<void(const ByteSink& write)>& produce);

 private:
  void MakeParentsOnce(const std::string& path);
  std::string lastParent_ = "\n";  // none yet
};

class ExtractedFileWriter {
 public:
  struct Job {
    std::string path;            // where the file goes
    std::string name;            // the entry's name, for its row and messages
    std::vector<uint8_t> bytes;  // the file's content
    uint32_t cSize = 0;          // for the row
  };

  ExtractedFileWriter(Console& console, FileCommitter& committer);
  ~ExtractedFileWriter();
  ExtractedFileWriter(const ExtractedFileWriter&) = delete;
  ExtractedFileWriter& operator=(const ExtractedFileWriter&) = delete;

  // Queues a file; waits while too many bytes are queued. Throws the failure
  // of an earlier file, if any.
  void Push(Job job);
  // Waits until every queued file is written and its row printed. Throws the
  // failure of a queued file, if any.
  void Drain();

 private:
  void Work();

  Console& console_;
  FileCommitter& committer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  uint64_t queuedBytes_ = 0;
  bool busy_ = false;  // a job is being written
  bool stopping_ = false;
  std::optional<FatalError> failure_;
  std::thread thread_;
};

}  // namespace quarlix
