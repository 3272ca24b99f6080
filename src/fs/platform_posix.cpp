// The platform layer on POSIX hosts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "fs/platform.h"

namespace quarlix::platform {
namespace {

int Fd(intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

char HostSeparator() { return '/'; }

FileStatus QueryStatus(const std::string& path) {
  FileStatus status;
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return status;
  if (S_ISDIR(info.st_mode)) {
    status.kind = FileStatus::Kind::kDirectory;
  } else if (S_ISREG(info.st_mode)) {
    status.kind = FileStatus::Kind::kRegular;
  } else {
    status.kind = FileStatus::Kind::kOther;
  }
  status.size = static_cast<uint64_t>(info.st_size);
  status.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return status;
}

bool PathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::string ResolveLinks(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;  // a dangling link is replaced
  std::string result(resolved);
  std::free(resolved);
  return result;
}

bool MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool ReplaceFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

struct DirectoryListing::State {
  DIR* dir = nullptr;
};

DirectoryListing::DirectoryListing(const std::string& path) : state_(std::make_unique<State>()) {
  state_->dir = ::opendir(path.c_str());
}

DirectoryListing::~DirectoryListing() {
  if (state_->dir != nullptr) ::closedir(state_->dir);
}

bool DirectoryListing::IsOpen() const { return state_->dir != nullptr; }

bool DirectoryListing::Next(std::string& name, bool& isPlainFile) {
  if (state_->dir == nullptr) return false;
  const dirent* entry = ::readdir(state_->dir);
  if (entry == nullptr) return false;
  name = entry->d_name;
  isPlainFile = entry->d_type == DT_REG;  // DT_UNKNOWN where the file system does not tell
  return true;
}

std::optional<File> File::OpenForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  File file(fd);
  // A directory opens on POSIX but is no file to read.
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return std::nullopt;
  return file;
}

std::optional<File> File::OpenForUpdate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  return File(fd);
}

std::optional<File> File::CreateNew(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return std::nullopt;
  return File(fd);
}

File::File(File&& other) noexcept : handle_(other.handle_), error_(other.error_.load()) {
  other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(Fd(handle_));
    handle_ = other.handle_;
    error_ = other.error_.load();
    other.handle_ = -1;
  }
  return *this;
}

File::~File() {
  if (handle_ >= 0) ::close(Fd(handle_));
}

size_t File::Read(void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(Fd(handle_), static_cast<char*>(buffer) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = true;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

size_t File::ReadAt(uint64_t offset, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(Fd(handle_), static_cast<char*>(buffer) + done, size - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error_ = true;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool File::Write(const void* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(Fd(handle_), static_cast<const char*>(data) + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t put = ::pwrite(Fd(handle_), static_cast<const char*>(data) + done, size - done,
                                 static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

std::optional<uint64_t> File::Size() {
  struct stat info;
  if (::fstat(Fd(handle_), &info) != 0) return std::nullopt;
  return static_cast<uint64_t>(info.st_size);
}

bool File::Truncate(uint64_t size) {
  return ::ftruncate(Fd(handle_), static_cast<off_t>(size)) == 0;
}

bool File::Sync() { return ::fsync(Fd(handle_)) == 0; }

void File::StartWriteback(uint64_t offset, uint64_t size) {
#if defined(__linux__)
  // Only a hint: a failure shows again, if it matters, in the Sync that follows.
  ::sync_file_range(Fd(handle_), static_cast<off_t>(offset), static_cast<off_t>(size),
                    SYNC_FILE_RANGE_WRITE);
#else
  (void)offset;
  (void)size;
#endif
}

void File::CopyPermissionsFrom(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) == 0) ::fchmod(Fd(handle_), info.st_mode & 07777);
}

bool File::Close() {
  const int fd = Fd(handle_);
  handle_ = -1;
  return ::close(fd) == 0;
}

}  // namespace quarlix::platform
