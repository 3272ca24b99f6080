// The host's file-system calls, behind one small interface. One unit per host
// implements it (platform_posix.cpp, platform_windows.cpp), chosen by the build;
// nothing else in Quarlix calls the host directly.
//
// Paths are narrow strings passed to the host's narrow API as they are: no
// character-set conversion of our own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace quarlix::platform {

// The separator the scanner joins paths with: '/' on POSIX, '\' on Windows.
char HostSeparator();

// Identifies a directory on the host, so a walk can tell a directory it is
// already inside (a symbolic-link loop) from a new one.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct FileStatus {
  enum class Kind {
    kUnreadable,  // the status query failed (missing path, dangling link, no access)
    kRegular,
    kDirectory,
    kOther,  // FIFO, socket, device: never stored
  };
  Kind kind = Kind::kUnreadable;
  uint64_t size = 0;
  FileIdentity identity;
};

// The status of path, following symbolic links.
FileStatus QueryStatus(const std::string& path);

// Whether anything exists at path, a dangling symbolic link included.
bool PathExists(const std::string& path);

// The file that writing to path reaches: path itself, or, where path is a
// symbolic link, the file it leads to, so that a new archive replaces that file
// and not the link.
std::string ResolveLinks(const std::string& path);

// Creates one directory; false if it could not be created.
bool MakeDirectory(const std::string& path);

// Removes a file (or a symbolic link itself); false if nothing was removed.
bool RemoveFile(const std::string& path);

// Moves from over to, replacing whatever file or link stands at to, in one step
// where the host allows it. False if it failed; from then still exists.
bool ReplaceFile(const std::string& from, const std::string& to);

// Lists the names in one directory, in the host's order, "." and ".." included
// where the host lists them.
class DirectoryListing {
 public:
  explicit DirectoryListing(const std::string& path);
  ~DirectoryListing();
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  bool IsOpen() const;
  // The next name; false at the end or on a failure to read further.
  // isPlainFile is true when the listing itself shows a regular file (not a
  // link, a directory or a device), so that no status query is needed to
  // count it; false when it shows something else or the host does not tell.
  bool Next(std::string& name, bool& isPlainFile);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A file opened in binary mode. Move-only; closed on destruction if still open.
class File {
 public:
  static std::optional<File> OpenForReading(const std::string& path);
  // Read and write, no creation, no truncation.
  static std::optional<File> OpenForUpdate(const std::string& path);
  // Creates a new file that did not exist (exclusive), with the host's default
  // permissions for new files.
  static std::optional<File> CreateNew(const std::string& path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Reads up to size bytes at the current position; returns how many were
  // read. Fewer than size means the end of the file or an error (see HadError).
  size_t Read(void* buffer, size_t size);
  // Reads up to size bytes at offset, without moving the current position.
  size_t ReadAt(uint64_t offset, void* buffer, size_t size);
  bool HadError() const { return error_.load(std::memory_order_relaxed); }

  // Writes all size bytes at the current position.
  bool Write(const void* data, size_t size);
  // Writes all size bytes at offset, without moving the current position.
  bool WriteAt(uint64_t offset, const void* data, size_t size);

  std::optional<uint64_t> Size();
  bool Truncate(uint64_t size);
  // Makes everything written so far durable on the device.
  bool Sync();
  // Starts writing a range already written to the device, without waiting,
  // so that a later Sync has less left to wait for. Does nothing where the
  // host has no such call.
  void StartWriteback(uint64_t offset, uint64_t size);
  // Gives the file the permission bits of the file at path, where the host has them.
  void CopyPermissionsFrom(const std::string& path);
  // Closes the file; false if the close reported a failure.
  bool Close();

 private:
  explicit File(intptr_t handle) : handle_(handle) {}
  intptr_t handle_;
  // Set by a failed read; atomic, as threads may read one file at offsets of
  // their own at the same time.
  std::atomic<bool> error_{false};
};

}  // namespace quarlix::platform
