// A file written completely under a temporary name beside its destination and
// then moved over it in one step, so the destination is either the old file or
// the complete new one. Removed again if it is never committed.
#pragma once

#include <string>

#include "fs/platform.h"

namespace quarlix {

class TemporaryFile {
 public:
  // Creates the temporary file beside destination; false if it cannot be created.
  bool Create(const std::string& destination);
  ~TemporaryFile();

  platform::File& file() { return *file_; }
  const std::string& path() const { return path_; }

  // Flushes to the device (when durable), closes, and moves the file over the
  // destination. False if any step failed; the temporary file is then removed.
  bool Commit(bool durable);

  // The two steps of Commit(false), for a file that is finished now and moved
  // into place later. Close is false if the close failed; MoveIntoPlace is
  // false if the move failed, and the temporary file is then removed.
  bool Close();
  bool MoveIntoPlace();

 private:
  std::optional<platform::File> file_;
  std::string path_;
  std::string destination_;
  bool onDisk_ = false;  // path_ names a file of ours that was not moved into place
};

}  // namespace quarlix
