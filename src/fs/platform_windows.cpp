// The platform layer on Windows hosts, through the narrow (ANSI) Win32 API: paths
// go to the host as the bytes they are and are read in the active code page.
//
// A File holds a HANDLE opened for synchronous I/O. ReadFile and WriteFile with
// an OVERLAPPED offset move the file pointer of such a handle, so ReadAt and
// WriteAt put it back afterwards.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h names its own ReplaceFileA/W "ReplaceFile"; ours is a different function.
#undef ReplaceFile

#include <algorithm>

#include "fs/platform.h"

namespace quarlix::platform {
namespace {

constexpr intptr_t kNoHandle = -1;  // INVALID_HANDLE_VALUE
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The most one ReadFile or WriteFile call moves: their counts are 32-bit, and a
// smaller piece keeps a single call within what every device accepts.
constexpr size_t kMaxTransfer = size_t{1} << 30;

HANDLE Handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

intptr_t Stored(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

DWORD Piece(size_t remaining) { return static_cast<DWORD>(std::min(remaining, kMaxTransfer)); }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(offset);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

std::optional<int64_t> Position(HANDLE handle) {
  LARGE_INTEGER zero = {};
  LARGE_INTEGER position;
  if (!::SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) return std::nullopt;
  return position.QuadPart;
}

bool MoveTo(HANDLE handle, int64_t position) {
  LARGE_INTEGER target;
  target.QuadPart = position;
  return ::SetFilePointerEx(handle, target, nullptr, FILE_BEGIN) != 0;
}

// Opens path for the File constructors; an invalid handle on failure.
HANDLE OpenFile(const std::string& path, DWORD access, DWORD disposition) {
  return ::CreateFileA(path.c_str(), access, kShareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace

char HostSeparator() { return '\\'; }

FileStatus QueryStatus(const std::string& path) {
  FileStatus status;
  // Opening the path follows symbolic links and junctions to their target, as
  // stat does; a directory opens only with backup semantics.
  const HANDLE handle = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
      status.kind = FileStatus::Kind::kOther;  // a console, pipe or other device name
    } else if (::GetFileInformationByHandle(handle, &info)) {
      status.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                        ? FileStatus::Kind::kDirectory
                        : FileStatus::Kind::kRegular;
      status.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
      status.identity = {info.dwVolumeSerialNumber,
                         (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    }
    ::CloseHandle(handle);
    if (status.kind != FileStatus::Kind::kUnreadable) return status;
  }
  // A file that another process holds without sharing cannot be opened, but its
  // attributes can still be read; it has no identity then. A link whose target
  // could not be opened stays unreadable.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return status;
  }
  status.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                    ? FileStatus::Kind::kDirectory
                    : FileStatus::Kind::kRegular;
  status.size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return status;
}

bool PathExists(const std::string& path) {
  // The attributes of a link are its own, so a dangling link exists too.
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Symbolic links are rare on Windows and need privileges to make: an archive
// path is taken as it stands.
std::string ResolveLinks(const std::string& path) { return path; }

bool MakeDirectory(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool RemoveFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

bool ReplaceFile(const std::string& from, const std::string& to) {
  return ::MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

struct DirectoryListing::State {
  HANDLE find = INVALID_HANDLE_VALUE;
  bool open = false;
  bool pending = false;  // data holds a name not handed out yet
  WIN32_FIND_DATAA data;
};

DirectoryListing::DirectoryListing(const std::string& path) : state_(std::make_unique<State>()) {
  std::string pattern = path;
  if (pattern.empty() || !IsSeparator(pattern.back())) pattern.push_back('\\');
  pattern.push_back('*');
  state_->find = ::FindFirstFileA(pattern.c_str(), &state_->data);
  if (state_->find != INVALID_HANDLE_VALUE) {
    state_->open = true;
    state_->pending = true;
  } else {
    // Only a directory with nothing in it at all (a drive's root) matches no name.
    state_->open = ::GetLastError() == ERROR_FILE_NOT_FOUND;
  }
}

DirectoryListing::~DirectoryListing() {
  if (state_->find != INVALID_HANDLE_VALUE) ::FindClose(state_->find);
}

bool DirectoryListing::IsOpen() const { return state_->open; }

bool DirectoryListing::Next(std::string& name, bool& isPlainFile) {
  if (state_->find == INVALID_HANDLE_VALUE) return false;
  if (!state_->pending && !::FindNextFileA(state_->find, &state_->data)) return false;
  state_->pending = false;
  name = state_->data.cFileName;
  constexpr DWORD kNotPlain =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  isPlainFile = (state_->data.dwFileAttributes & kNotPlain) == 0;
  return true;
}

std::optional<File> File::OpenForReading(const std::string& path) {
  // Without backup semantics a directory does not open; the check below is for
  // hosts that let it through all the same.
  const HANDLE handle = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  File file(Stored(handle));
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileInformationByHandle(handle, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  return file;
}

std::optional<File> File::OpenForUpdate(const std::string& path) {
  const HANDLE handle = OpenFile(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  return File(Stored(handle));
}

std::optional<File> File::CreateNew(const std::string& path) {
  const HANDLE handle = OpenFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  return File(Stored(handle));
}

File::File(File&& other) noexcept : handle_(other.handle_), error_(other.error_.load()) {
  other.handle_ = kNoHandle;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ != kNoHandle) ::CloseHandle(Handle(handle_));
    handle_ = other.handle_;
    error_ = other.error_.load();
    other.handle_ = kNoHandle;
  }
  return *this;
}

File::~File() {
  if (handle_ != kNoHandle) ::CloseHandle(Handle(handle_));
}

size_t File::Read(void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    DWORD got = 0;
    if (!::ReadFile(Handle(handle_), static_cast<char*>(buffer) + done, Piece(size - done), &got,
                    nullptr)) {
      error_ = true;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

size_t File::ReadAt(uint64_t offset, void* buffer, size_t size) {
  const auto position = Position(Handle(handle_));
  if (!position) {
    error_ = true;
    return 0;
  }
  size_t done = 0;
  while (done < size) {
    OVERLAPPED at = At(offset + done);
    DWORD got = 0;
    if (!::ReadFile(Handle(handle_), static_cast<char*>(buffer) + done, Piece(size - done), &got,
                    &at)) {
      // A read that starts at or past the end fails with this code instead of
      // reading nothing.
      if (::GetLastError() != ERROR_HANDLE_EOF) error_ = true;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  if (!MoveTo(Handle(handle_), *position)) error_ = true;
  return done;
}

bool File::Write(const void* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    DWORD put = 0;
    if (!::WriteFile(Handle(handle_), static_cast<const char*>(data) + done, Piece(size - done),
                     &put, nullptr) ||
        put == 0) {
      return false;
    }
    done += put;
  }
  return true;
}

bool File::WriteAt(uint64_t offset, const void* data, size_t size) {
  const auto position = Position(Handle(handle_));
  if (!position) return false;
  size_t done = 0;
  while (done < size) {
    OVERLAPPED at = At(offset + done);
    DWORD put = 0;
    if (!::WriteFile(Handle(handle_), static_cast<const char*>(data) + done, Piece(size - done),
                     &put, &at) ||
        put == 0) {
      break;
    }
    done += put;
  }
  return MoveTo(Handle(handle_), *position) && done == size;
}

std::optional<uint64_t> File::Size() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(Handle(handle_), &size)) return std::nullopt;
  return static_cast<uint64_t>(size.QuadPart);
}

bool File::Truncate(uint64_t size) {
  // SetEndOfFile cuts at the file pointer; the pointer is put back afterwards.
  const auto position = Position(Handle(handle_));
  if (!position || size > static_cast<uint64_t>(INT64_MAX) ||
      !MoveTo(Handle(handle_), static_cast<int64_t>(size))) {
    return false;
  }
  const bool cut = ::SetEndOfFile(Handle(handle_)) != 0;
  return MoveTo(Handle(handle_), *position) && cut;
}

bool File::Sync() { return ::FlushFileBuffers(Handle(handle_)) != 0; }

void File::StartWriteback(uint64_t, uint64_t) {
  // Windows has no call that starts writing without waiting; Sync does it all.
}

void File::CopyPermissionsFrom(const std::string&) {
  // Access rights live in the ACL, which a new file inherits from its
  // directory. The only permission bit, read-only, is not worth copying: a
  // read-only file cannot be replaced by a move.
}

bool File::Close() {
  const HANDLE handle = Handle(handle_);
  handle_ = kNoHandle;
  return ::CloseHandle(handle) != 0;
}

}  // namespace quarlix::platform
