// The header and directory reading rules, on archives held in memory.
#include "archive/archive_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/little_endian.h"
#include "cli/messages.h"

namespace quarlix {
namespace {

std::vector<uint8_t> Header(uint32_t directoryOffset, uint32_t type) {
  std::vector<uint8_t> bytes(kHeaderSize);
  EncodeHeader(bytes.data(), directoryOffset, type);
  return bytes;
}

void Put32(std::vector<uint8_t>& bytes, uint32_t value) {
  uint8_t encoded[4];
  EncodeFixed32(encoded, value);
  bytes.insert(bytes.end(), encoded, encoded + 4);
}

// The message a header gives, or "" when it is accepted.
std::string HeaderOutcome(const std::vector<uint8_t>& bytes) {
  MemorySource source(bytes);
  try {
    const ArchiveHeader header = ReadArchiveHeader(source, "x.qlx");
    CheckDirectoryOffset(header, source.Size());
    return "";
  } catch (const FatalError& error) {
    return error.Text();
  }
}

TEST(ArchiveHeaderTest, MalformedHeaders) {
  const std::string notValid = "'x.qlx' is not a valid Refractor2 FinkelArchive 1.0 file.";
  struct Case {
    std::string what;
    std::vector<uint8_t> bytes;
    std::string expected;
  };
  std::vector<Case> cases;
  auto short35 = Header(36, 2);
  short35.resize(35);
  cases.push_back({"35 bytes", short35, notValid});
  for (size_t size = 36; size < 40; ++size) {
    auto bytes = Header(0, 2);
    bytes.resize(size);
    cases.push_back({std::to_string(size) + " bytes", bytes, "Unexpected end of file!"});
  }
  auto noZero = Header(36, 2);
  noZero[28] = ' ';
  cases.push_back({"byte 28 not zero", noZero, notValid});
  auto otherText = Header(36, 2);
  otherText[0] = 'r';
  cases.push_back({"wrong magic", otherText, notValid});
  auto tail = Header(36, 2);
  tail[29] = 'a', tail[30] = 'b', tail[31] = 'c';
  cases.push_back({"bytes 29 to 31 ignored", tail, ""});
  cases.push_back(
      {"type 3", Header(36, 3), "Unknown archive type in file 'x.qlx'! Type must be 0, 1 or 2."});
  cases.push_back({"type 0", Header(36, 0), ""});
  cases.push_back({"type 1", Header(36, 1), ""});
  cases.push_back({"offset at size - 4", Header(36, 2), ""});
  cases.push_back({"offset one past", Header(37, 2), "Offset exceeds file size!"});
  cases.push_back({"offset wraps", Header(0xFFFFFFFC, 2), "Offset exceeds file size!"});
  cases.push_back({"offset all ones", Header(0xFFFFFFFF, 2), "Offset exceeds file size!"});

  for (const Case& c : cases) {
    EXPECT_EQ(HeaderOutcome(c.bytes), c.expected) << c.what;
  }
}

TEST(DirectoryCursorTest, ReadsEntriesAndSkipsTails) {
  std::vector<uint8_t> bytes = Header(40, 2);
  Put32(bytes, 2);
  std::string directory;
  AppendDirectoryEntry(directory, "data/a.txt", EntryFields{13, 5, 40, 1});
  AppendDirectoryEntry(directory, "b", EntryFields{16, 9, 56, 7});
  bytes.insert(bytes.end(), directory.begin(), directory.end());
  bytes[40 + 4 + 4 + 10 + 16] = 0xEE;  // EntryTail is never read
  Put32(bytes, 0);

  MemorySource source(bytes);
  DirectoryCursor cursor(source, 40);
  ASSERT_EQ(cursor.ReadFileCount(), 2u);
  DirectoryEntry entry;
  cursor.ReadEntry(entry);
  EXPECT_EQ(entry.Name, "data/a.txt");
  EXPECT_EQ(entry.Fields.CSize, 13u);
  EXPECT_EQ(entry.Fields.USize, 5u);
  EXPECT_EQ(entry.Fields.DataOffset, 40u);
  cursor.ReadEntry(entry);
  EXPECT_EQ(entry.Name, "b");
  EXPECT_EQ(entry.Fields.EntryReserved, 7u);
  EXPECT_EQ(cursor.Position(), bytes.size() - kDirectoryTailSize);
}

TEST(DirectoryCursorTest, BrokenRecordsEndAtTheEndOfTheFile) {
  struct Case {
    std::string what;
    uint32_t nameLength;
    size_t keep;  // bytes of the record that are present
  };
  const Case cases[] = {
      {"name length cut", 3, 2},
      {"name beyond the file", 100, 40},
      {"name length all ones", 0xFFFFFFFF, 40},
      {"fields cut", 3, 4 + 3 + 10},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> record;
    Put32(record, c.nameLength);
    record.resize(40, 'n');
    record.resize(c.keep);
    MemorySource source(record);
    DirectoryCursor cursor(source, 0);
    DirectoryEntry entry;
    try {
      cursor.ReadEntry(entry);
      ADD_FAILURE() << c.what << ": read";
    } catch (const FatalError& error) {
      EXPECT_EQ(error.Text(), "Unexpected end of file!") << c.what;
    }
  }
}

TEST(ArchiveFormatTest, StoredLengthRoundsUpWithoutWrapping) {
  const std::pair<uint32_t, uint64_t> cases[] = {{0, 0},
                                                 {1, 8},
                                                 {8, 8},
                                                 {13, 16},
                                                 {16, 16},
                                                 {0xFFFFFFF9, 0x100000000},
                                                 {0xFFFFFFFF, 0x100000000}};
  for (const auto& [cSize, stored] : cases) EXPECT_EQ(StoredLength(cSize), stored) << cSize;
}

TEST(ArchiveFormatTest, NameAsTextEndsAtTheFirstZeroByte) {
  EXPECT_EQ(NameAsText(std::string("a/b\0c", 5)), "a/b");
  EXPECT_EQ(NameAsText("plain"), "plain");
}

}  // namespace
}  // namespace quarlix
