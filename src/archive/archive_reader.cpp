#include "archive/archive_reader.h"

#include <algorithm>
#include <cstring>

#include "archive/little_endian.h"
#include "cli/messages.h"

namespace quarlix {

size_t MemorySource::ReadAt(uint64_t offset, uint8_t* buffer, size_t size) {
  if (offset >= bytes_.size()) return 0;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(size, bytes_.size() - offset));
  if (count == 0) return 0;  // buffer may be null then
  std::memcpy(buffer, bytes_.data() + offset, count);
  return count;
}

void FailRead(const ByteSource& source) {
  Fail(source.HadError() ? MessageId::kErrorReadingFile : MessageId::kUnexpectedEndOfFile);
}

ArchiveHeader ReadArchiveHeader(ByteSource& source, std::string_view archivePath) {
  if (source.Size() < kMinimumArchiveSize) Fail(MessageId::kNotValidArchive, archivePath);
  uint8_t header[kHeaderSize];
  const size_t got = source.ReadAt(0, header, kHeaderSize);
  if (got < kMagicFieldSize) FailRead(source);
  if (!HasMagic(header)) Fail(MessageId::kNotValidArchive, archivePath);
  if (got < kHeaderSize) FailRead(source);
  const ArchiveHeader result{DecodeFixed32(header + kDirectoryOffsetAt),
                             DecodeFixed32(header + kArchiveTypeAt)};
  if (result.ArchiveType > EncryptedCompressed) Fail(MessageId::kUnknownArchiveType, archivePath);
  return result;
}

void CheckDirectoryOffset(const ArchiveHeader& header, uint64_t archiveSize) {
  if (uint64_t{header.DirectoryOffset} + kFileCountSize > archiveSize) {
    Fail(MessageId::kOffsetExceedsFileSize);
  }
}

namespace {
constexpr size_t kDirectoryBufferSize = 64 * 1024;
}

DirectoryCursor::DirectoryCursor(ByteSource& source, uint64_t position)
    : source_(source), position_(position), bufferStart_(position) {}

void DirectoryCursor::Fill(size_t wanted) {
  // Drop what has been handed out, then read enough for `wanted` bytes (at
  // least a whole buffer) after position_.
  const uint64_t bufferEnd = bufferStart_ + buffer_.size();
  if (position_ >= bufferStart_ && position_ + wanted <= bufferEnd) return;
  std::vector<uint8_t> kept;
  if (position_ >= bufferStart_ && position_ < bufferEnd) {
    kept.assign(buffer_.begin() + static_cast<ptrdiff_t>(position_ - bufferStart_), buffer_.end());
  }
  const size_t target = std::max(wanted, kDirectoryBufferSize);
  const size_t have = kept.size();
  kept.resize(target);
  const size_t got = source_.ReadAt(position_ + have, kept.data() + have, target - have);
  kept.resize(have + got);
  buffer_ = std::move(kept);
  bufferStart_ = position_;
}

void DirectoryCursor::Read(uint8_t* out, size_t size) {
  Fill(size);
  const uint64_t available = bufferStart_ + buffer_.size() - position_;
  if (available < size) FailRead(source_);
  std::memcpy(out, buffer_.data() + (position_ - bufferStart_), size);
  position_ += size;
}

uint32_t DirectoryCursor::ReadFileCount() {
  uint8_t count[kFileCountSize];
  Read(count, sizeof count);
  return DecodeFixed32(count);
}

void DirectoryCursor::ReadEntry(DirectoryEntry& entry) {
  uint8_t length[kNameLengthSize];
  Read(length, sizeof length);
  const uint32_t nameLength = DecodeFixed32(length);
  // A name longer than the rest of the file cannot be read: say so before
  // allocating anything for it.
  if (uint64_t{nameLength} > source_.Size() - std::min(source_.Size(), position_)) {
    Fail(MessageId::kUnexpectedEndOfFile);
  }
  entry.Name.resize(nameLength);
  Read(reinterpret_cast<uint8_t*>(entry.Name.data()), nameLength);
  uint8_t fields[kEntryFieldsSize];
  Read(fields, sizeof fields);
  entry.Fields = DecodeEntryFields(fields);
  position_ += kEntryTailSize;  // EntryTail is skipped, never read
}

}  // namespace quarlix
