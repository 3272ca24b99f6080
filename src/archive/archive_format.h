// The byte layout of an archive.
//
//   offset 0   ArchiveHeader, 40 bytes:
//                magic field (32): "Refractor2 FinkelArchive 1.0" and 4 zero bytes
//                DirectoryOffset (4), ArchiveType (4)
//   offset 40  data area: each entry's StoredLength bytes at its DataOffset
//   DirectoryOffset:
//                FileCount (4)
//                DirectoryEntry x FileCount, each 28 + NameLength bytes:
//                  NameLength (4), name (NameLength, '/'-separated, no zero byte),
//                  CSize (4), USize (4), DataOffset (4), EntryReserved (4),
//                  EntryTail (8, zero)
//                DirectoryTail (4, zero)
//
// Every integer is unsigned 32-bit little-endian; offsets are absolute. An
// entry's StoredLength is its CSize rounded up to a multiple of 8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarlix {

constexpr std::string_view kMagicText = "Refractor2 FinkelArchive 1.0";
constexpr size_t kMagicFieldSize = 32;
constexpr size_t kDirectoryOffsetAt = 32;
constexpr size_t kArchiveTypeAt = 36;
constexpr size_t kHeaderSize = 40;
// Shorter files cannot be archives: the magic field and DirectoryOffset.
constexpr size_t kMinimumArchiveSize = 36;

constexpr size_t kFileCountSize = 4;
constexpr size_t kNameLengthSize = 4;
constexpr size_t kEntryFieldsSize = 16;  // CSize, USize, DataOffset, EntryReserved
constexpr size_t kEntryTailSize = 8;
constexpr size_t kDirectoryTailSize = 4;
// The bytes of a DirectoryEntry besides its name.
constexpr size_t kEntryOverhead = kNameLengthSize + kEntryFieldsSize + kEntryTailSize;

constexpr uint32_t kEntryReservedValue = 1;
// Offsets and sizes are 32-bit: an archive and every file in it stay below this.
constexpr uint64_t kFormatLimit = uint64_t{1} << 32;

enum ArchiveType : uint32_t {
  Plain = 0,
  Encrypted = 1,
  EncryptedCompressed = 2,
};

// CSize rounded up to a multiple of 8, computed without 32-bit wrap-around.
constexpr uint64_t StoredLength(uint32_t cSize) { return (uint64_t{cSize} + 7) & ~uint64_t{7}; }

// The four fixed fields that follow an entry's name, written and read as one group.
struct EntryFields {
  uint32_t CSize = 0;
  uint32_t USize = 0;
  uint32_t DataOffset = 0;
  uint32_t EntryReserved = kEntryReservedValue;
};

// One record of the directory. Name holds the NameLength stored bytes.
struct DirectoryEntry {
  std::string Name;
  EntryFields Fields;
};

// Whether a 32-byte magic field holds the magic text followed by a zero byte
// (bytes 29 to 31 are not looked at).
bool HasMagic(const uint8_t* magicField);

// The 40 header bytes.
void EncodeHeader(uint8_t* out, uint32_t directoryOffset, uint32_t archiveType);

void EncodeEntryFields(uint8_t* out, const EntryFields& fields);
EntryFields DecodeEntryFields(const uint8_t* in);

// Appends a whole DirectoryEntry (NameLength, name, fields, zero EntryTail).
void AppendDirectoryEntry(std::string& out, std::string_view name, const EntryFields& fields);

// The stored name as the tool uses it: up to its first zero byte.
std::string_view NameAsText(std::string_view storedName);

}  // namespace quarlix
