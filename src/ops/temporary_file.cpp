#include "ops/temporary_file.h"

namespace quarlix {

bool TemporaryFile::Create(const std::string& destination) {
  destination_ = destination;
  file_ = platform::File::CreateTemporaryBeside(destination, path_);
  return file_.has_value();
}

TemporaryFile::~TemporaryFile() {
  if (file_) {
    file_.reset();
    platform::RemoveFile(path_);
  }
}

bool TemporaryFile::Commit(bool durable) {
  bool ok = !durable || file_->Sync();
  ok = file_->Close() && ok;
  file_.reset();
  if (ok && platform::ReplaceFile(path_, destination_)) return true;
  platform::RemoveFile(path_);
  return false;
}

}  // namespace quarlix
