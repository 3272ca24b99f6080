#include "fs/directory_scanner.h"

#include <algorithm>

#include "archive/archive_format.h"
#include "cli/messages.h"
#include "fs/platform.h"

namespace quarlix {
namespace {

using platform::FileIdentity;
using platform::FileStatus;

// Walks the tree under one top directory and calls visit(path, size) for each
// file, in scan order. Both passes use it, so they see the same order. Without
// needSizes, a file the listing shows as a regular file is visited with size
// 0 and no status query: counting needs no sizes.
template <typename Visit>
class TreeWalker {
 public:
  TreeWalker(Visit visit, bool needSizes) : visit_(std::move(visit)), needSizes_(needSizes) {}

  void Walk(const std::string& top) {
    ancestors_.push_back(platform::QueryStatus(top).identity);
    WalkDirectory(top);
  }

 private:
  bool IsAncestor(const FileIdentity& identity) const {
    // An identity of zero means the host could not tell; such a directory is
    // walked, as there is nothing to compare.
    return identity.index != 0 &&
           std::find(ancestors_.begin(), ancestors_.end(), identity) != ancestors_.end();
  }

  void WalkDirectory(const std::string& path) {
    platform::DirectoryListing listing(path);
    if (!listing.IsOpen()) Fail(MessageId::kCouldNotOpenDirectory, path);
    std::string name;
    std::string child;
    bool isPlainFile = false;
    while (listing.Next(name, isPlainFile)) {
      if (name.empty() || name.front() == '.') continue;
      child.assign(path).push_back(platform::HostSeparator());
      child.append(name);
      if (isPlainFile && !needSizes_) {
        visit_(child, 0);
        continue;
      }
      const FileStatus status = platform::QueryStatus(child);
      switch (status.kind) {
        case FileStatus::Kind::kDirectory:
          if (IsAncestor(status.identity)) break;  // a symbolic-link loop
          ancestors_.push_back(status.identity);
          WalkDirectory(child);
          ancestors_.pop_back();
          break;
        case FileStatus::Kind::kOther:
          break;  // FIFOs, sockets and devices are not stored: opening a FIFO would hang
        case FileStatus::Kind::kRegular:
        case FileStatus::Kind::kUnreadable:
          visit_(child, status.size);
          break;
      }
    }
  }

  Visit visit_;
  const bool needSizes_;
  std::vector<FileIdentity> ancestors_;
};

template <typename Visit>
void WalkTree(const std::string& top, bool needSizes, Visit visit) {
  TreeWalker<Visit>(std::move(visit), needSizes).Walk(top);
}

}  // namespace

uint32_t CountFiles(const std::string& path) {
  uint32_t count = 0;
  WalkTree(path, /*needSizes=*/false, [&](const std::string&, uint64_t) { ++count; });
  return count;
}

uint32_t CollectFiles(const std::string& path, std::vector<ScanRecord>& records, uint32_t capacity,
                      uint32_t nextIndex) {
  const uint32_t bound = std::min<uint32_t>(capacity, static_cast<uint32_t>(records.size()));
  WalkTree(path, /*needSizes=*/true, [&](const std::string& file, uint64_t size) {
    if (nextIndex >= bound) Fail(MessageId::kTreeChanged, path);
    ScanRecord& record = records[nextIndex++];
    record.NameLength = static_cast<uint32_t>(file.size());
    record.FileName = file;
    record.FileSize = size;
    record.USize = static_cast<uint32_t>(size);
    record.EntryReserved = kEntryReservedValue;
  });
  if (nextIndex != bound) Fail(MessageId::kTreeChanged, path);
  return nextIndex;
}

}  // namespace quarlix
