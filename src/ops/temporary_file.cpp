#include "ops/temporary_file.h"

#include <cstdio>
#include <random>

namespace quarlix {
namespace {

// The directory part of path, with its separator ("" for a bare name).
std::string DirectoryOf(const std::string& path) {
  const char separators[] = {'/', platform::HostSeparator(), '\0'};
  const auto separator = path.find_last_of(separators);
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

}  // namespace

bool TemporaryFile::Create(const std::string& destination) {
  // A random name that begins with a dot, so a later scan of the folder skips
  // it should it ever be left behind.
  thread_local std::mt19937_64 random{std::random_device{}()};
  destination_ = destination;
  const std::string directory = DirectoryOf(destination);
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".quarlix-%016llx.tmp",
                  static_cast<unsigned long long>(random()));
    path_ = directory + name;
    file_ = platform::File::CreateNew(path_);
    if (file_) {
      onDisk_ = true;
      return true;
    }
    if (!platform::PathExists(path_)) break;  // not a name clash: the folder refuses
  }
  return false;
}

TemporaryFile::~TemporaryFile() {
  file_.reset();
  if (onDisk_) platform::RemoveFile(path_);
}

bool TemporaryFile::Commit(bool durable) {
  const bool synced = !durable || file_->Sync();
  return Close() && synced && MoveIntoPlace();
}

bool TemporaryFile::Close() {
  const bool ok = file_->Close();
  file_.reset();
  return ok;
}

bool TemporaryFile::MoveIntoPlace() {
  if (!platform::ReplaceFile(path_, destination_)) return false;
  onDisk_ = false;
  return true;
}

}  // namespace quarlix
