// Listing and extraction on the real binary: exact console output, extracted
// bytes, the refusal of malformed, damaged and hostile archives, and the rule
// that extraction writes nothing outside the working directory.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "fixtures/archive_builder.h"

namespace quarlix::e2e {
namespace {

namespace fs = std::filesystem;
using fixtures::BuildArchive;
using fixtures::BuiltArchive;
using fixtures::Fixed32;
using fixtures::FixtureArchive;

using Files = std::vector<std::string>;
using namespace std::string_literals;

constexpr std::string_view kNotValid =
    "'a.qlx' is not a valid Refractor2 FinkelArchive 1.0 file.\n";
constexpr std::string_view kUnexpectedEnd = "Unexpected end of file!\n";

std::string Binary(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

uint32_t Rounded(size_t size) { return static_cast<uint32_t>((size + 7) / 8 * 8); }

// Three entries, a.txt, b.txt holding content, and c.txt: the tests of a
// damaged entry damage b.txt and check what becomes of the other two.
FixtureArchive AroundMiddleEntry(uint32_t type, const std::string& content) {
  FixtureArchive archive;
  archive.type = type;
  archive.entries = {{.name = "a.txt", .content = "AAAA"},
                     {.name = "b.txt", .content = content},
                     {.name = "c.txt", .content = "CCCC"}};
  return archive;
}

std::string Replaced(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Where field k (0 CSize, 1 USize, 2 DataOffset, 3 EntryReserved) of entry i stands.
size_t FieldAt(const FixtureArchive& archive, const BuiltArchive& built, size_t entry,
               size_t field) {
  return built.recordOffsets[entry] + 4 + archive.entries[entry].name.size() + 4 * field;
}

void SetField(std::string& bytes, size_t at, uint32_t value) {
  bytes.replace(at, 4, Fixed32(value));
}

class ReaderTest : public E2eTest {
 protected:
  BuiltArchive PutArchive(const FixtureArchive& archive) {
    BuiltArchive built = BuildArchive(archive);
    WriteFile("a.qlx", built.bytes);
    return built;
  }

  void ExpectNothingOutside() { EXPECT_EQ(ListOutsideWork(), Files{}); }
};

// ---------------------------------------------------------------------------
// Every type under both keys: listing and extraction, byte for byte.

struct TypeAndKey {
  uint32_t type;
  bool demo;
};

class RoundTripTest : public ReaderTest, public ::testing::WithParamInterface<TypeAndKey> {};

TEST_P(RoundTripTest, ListsAndExtractsEveryEntry) {
  const auto [type, demo] = GetParam();
  FixtureArchive archive;
  archive.type = type;
  archive.key = demo ? &DemoKey : &FullKey;
  archive.entries = {
      {.name = "hello.txt", .content = "hello"},
      {.name = "dir/sub/data.bin", .content = Binary(300, 1) + "\r\n\n\r\0"},
      {.name = "empty.txt", .content = ""},
      {.name = "eight.txt", .content = "12345678"},  // no zero fill
      // Larger than the pieces the reader works in.
      {.name = "big.bin", .content = Binary(2621443, 2)},
  };
  const BuiltArchive built = PutArchive(archive);

  std::string rows;
  for (size_t i = 0; i < archive.entries.size(); ++i) {
    rows += Row(archive.entries[i].name, built.cSizes[i], archive.entries[i].content.size());
  }
  const std::string table = std::string(kBanner) + TypeLine(type) +
                            CountLine(static_cast<uint32_t>(archive.entries.size())) +
                            std::string(kListHeader) + rows;

  const RunResult listing = Run({demo ? "-lq" : "-l", "a.qlx"});
  EXPECT_EQ(listing.out, table + std::string(kListedClosing));
  EXPECT_EQ(listing.exitCode, 0);
  EXPECT_EQ(ListFiles(), Files{"a.qlx"});

  const RunResult extraction = Run({demo ? "-dq" : "-d", "a.qlx"});
  EXPECT_EQ(extraction.out, table + std::string(kExtractedClosing));
  EXPECT_EQ(extraction.exitCode, 0);
  EXPECT_EQ(ListFiles(),
            (Files{"a.qlx", "big.bin", "dir/sub/data.bin", "eight.txt", "empty.txt", "hello.txt"}));
  for (const auto& entry : archive.entries) {
    EXPECT_TRUE(ReadFile(entry.name) == entry.content) << entry.name;
  }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, RoundTripTest,
                         ::testing::Values(TypeAndKey{0, false}, TypeAndKey{0, true},
                                           TypeAndKey{1, false}, TypeAndKey{1, true},
                                           TypeAndKey{2, false}, TypeAndKey{2, true}),
                         [](const auto& info) {
                           return "Type" + std::to_string(info.param.type) +
                                  (info.param.demo ? "DemoKey" : "FullKey");
                         });

// ---------------------------------------------------------------------------
// Row layout. The expected rows are spelled out here, not built by Row().

TEST_F(ReaderTest, RowLayout) {
  struct Case {
    std::string name;
    uint32_t cSize;
    uint32_t uSize;
    std::string row;
  };
  const std::string pad61(61, ' ');
  const std::vector<Case> cases = {
      {std::string(61, 'm'), 5, 5, std::string(61, 'm') + " " + "       5       5\n"},
      {std::string(62, 'n'), 5, 5, std::string(62, 'n') + "       5       5\n"},
      {std::string(70, 'w'), 12, 34, std::string(70, 'w') + "      12      34\n"},
      {"x", 5, 0, "x" + pad61 + "       5       0\n"},
      {"y", 12345678, 87654321, "y" + pad61 + "1234567887654321\n"},
      {"z", 5, 123456789, "z" + pad61 + "       5123456789\n"},
      {"u", 123456789, 5, "u" + pad61 + "123456789       5\n"},
      {"v", 4294967295u, 4294967295u, "v" + pad61 + "42949672954294967295\n"},
  };
  FixtureArchive archive;
  std::string rows;
  for (const auto& c : cases) {
    archive.entries.push_back(
        {.name = c.name, .content = "hello", .cSize = c.cSize, .uSize = c.uSize});
    rows += c.row;
  }
  PutArchive(archive);
  // Listing only: these sizes do not fit the stored data.
  const RunResult result = Run({"-l", "a.qlx"});
  EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) + CountLine(8) +
                            std::string(kListHeader) + rows + std::string(kListedClosing));
  EXPECT_EQ(result.exitCode, 0);
}

// ---------------------------------------------------------------------------
// Malformed headers and directories: the same output whether listing or
// extracting, except for the closing line.

TEST_F(ReaderTest, MalformedArchives) {
  FixtureArchive base;
  base.entries = {{.name = "a.txt", .content = "AAAA"}, {.name = "b.txt", .content = "BBBBBB"}};
  const BuiltArchive baseBuilt = BuildArchive(base);
  const uint32_t size = static_cast<uint32_t>(baseBuilt.bytes.size());
  const std::string rowA = Row("a.txt", baseBuilt.cSizes[0], 4);
  const std::string rowB = Row("b.txt", baseBuilt.cSizes[1], 6);
  const std::string header = TypeLine(2) + CountLine(2) + std::string(kListHeader);
  const std::string magic = "Refractor2 FinkelArchive 1.0";

  struct Case {
    std::string what;
    std::function<void(FixtureArchive&)> change;
    std::string expected;  // after the banner, for a listing
    int exitCode;
  };
  std::vector<Case> cases = {
      {"35 bytes", [](auto& a) { a.truncateTo = 35; }, std::string(kNotValid), 1},
      {"wrong magic text",
       [&](auto& a) { a.magicField = "r" + magic.substr(1) + '\0' + "\0\0\0"s; },
       std::string(kNotValid), 1},
      {"byte 28 not zero", [&](auto& a) { a.magicField = magic + "X\0\0\0"s; },
       std::string(kNotValid), 1},
      {"bytes 29 to 31 are not looked at", [&](auto& a) { a.magicField = magic + "\0XYZ"s; },
       header + rowA + rowB + std::string(kListedClosing), 0},
      {"type 3", [](auto& a) { a.archiveType = 3; },
       "Unknown archive type in file 'a.qlx'! Type must be 0, 1 or 2.\n", 1},
      {"type 0xFFFFFFFF", [](auto& a) { a.archiveType = 0xFFFFFFFF; },
       "Unknown archive type in file 'a.qlx'! Type must be 0, 1 or 2.\n", 1},
      {"directory offset at size - 4", [&](auto& a) { a.directoryOffset = size - 4; },
       TypeLine(2) + CountLine(0) + "No files in archive!\n", 1},
      {"directory offset at size - 3", [&](auto& a) { a.directoryOffset = size - 3; },
       TypeLine(2) + "Offset exceeds file size!\n", 1},
      {"directory offset 0xFFFFFFFC", [](auto& a) { a.directoryOffset = 0xFFFFFFFC; },
       TypeLine(2) + "Offset exceeds file size!\n", 1},
      {"directory offset 0xFFFFFFFF", [](auto& a) { a.directoryOffset = 0xFFFFFFFF; },
       TypeLine(2) + "Offset exceeds file size!\n", 1},
      {"file count 0", [](auto& a) { a.fileCount = 0; },
       TypeLine(2) + CountLine(0) + "No files in archive!\n", 1},
      {"file count beyond the records", [](auto& a) { a.fileCount = 3; },
       TypeLine(2) + CountLine(3) + std::string(kListHeader) + rowA + rowB +
           std::string(kUnexpectedEnd),
       1},
      {"name length beyond the file", [](auto& a) { a.entries[1].nameLength = 1000; },
       header + rowA + std::string(kUnexpectedEnd), 1},
      {"name length 0xFFFFFFFF", [](auto& a) { a.entries[0].nameLength = 0xFFFFFFFF; },
       header + std::string(kUnexpectedEnd), 1},
      {"cut within the last record's fields",
       [&](auto& a) { a.truncateTo = baseBuilt.recordOffsets[1] + 4 + 5 + 10; },
       header + rowA + std::string(kUnexpectedEnd), 1},
      {"cut within the last name",
       [&](auto& a) { a.truncateTo = baseBuilt.recordOffsets[1] + 4 + 2; },
       header + rowA + std::string(kUnexpectedEnd), 1},
      {"no directory tail", [](auto& a) { a.directoryTail = ""; },
       header + rowA + rowB + std::string(kListedClosing), 0},
      {"bytes after the directory", [](auto& a) { a.trailing = "trailing junk"; },
       header + rowA + rowB + std::string(kListedClosing), 0},
      {"entry fields nobody reads",
       [](auto& a) {
         a.entries[0].reserved = 0xDEADBEEF;
         a.entries[0].tail = "garbage!";
       },
       header + rowA + rowB + std::string(kListedClosing), 0},
  };
  for (size_t length = 36; length < 40; ++length) {
    cases.push_back({std::to_string(length) + " bytes with the magic text",
                     [length](auto& a) { a.truncateTo = length; }, std::string(kUnexpectedEnd), 1});
  }

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FixtureArchive archive = base;
    c.change(archive);
    PutArchive(archive);
    const RunResult listing = Run({"-l", "a.qlx"});
    EXPECT_EQ(listing.out, std::string(kBanner) + c.expected);
    EXPECT_EQ(listing.exitCode, c.exitCode);

    const RunResult extraction = Run({"-d", "a.qlx"});
    EXPECT_EQ(extraction.out,
              std::string(kBanner) + Replaced(c.expected, kListedClosing, kExtractedClosing));
    EXPECT_EQ(extraction.exitCode, c.exitCode);
    ClearWorkDir();
  }
}

TEST_F(ReaderTest, ListingNeverReadsTheDataArea) {
  FixtureArchive archive;
  archive.entries = {
      {.name = "a.txt", .content = "AAAA", .dataOffset = 0xFFFFFFF0},
      {.name = "b.txt", .content = "BBBB", .cSize = 0xFFFFFFFF, .uSize = 0xFFFFFFFF},
      {.name = "c.txt", .content = "CCCC", .stored = std::string(8, '\xA5')},
  };
  const BuiltArchive built = PutArchive(archive);
  const RunResult result = Run({"-l", "a.qlx"});
  EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) + CountLine(3) +
                            std::string(kListHeader) + Row("a.txt", built.cSizes[0], 4) +
                            Row("b.txt", 0xFFFFFFFF, 0xFFFFFFFF) +
                            Row("c.txt", built.cSizes[2], 4) + std::string(kListedClosing));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ListFiles(), Files{"a.qlx"});
}

// ---------------------------------------------------------------------------
// Damaged entries: the first entry is extracted, the second is refused, the
// third is never reached. No file (nor any temporary file) for the refused one.

TEST_F(ReaderTest, DamagedEntryStopsExtraction) {
  const std::string content = Binary(60, 3) + std::string(40, 'b');
  const std::string damaged =
      "Error uncompressing file 'b.txt'! The archive is damaged or the key is wrong.\n";
  const std::string outside = "Data of file 'b.txt' lies outside the archive!\n";
  const std::string larger = "File 'b.txt' is larger than its stored data!\n";

  struct Case {
    std::string what;
    uint32_t type;
    // Changes the built bytes; gets the table and the bytes as built.
    std::function<void(const FixtureArchive&, const BuiltArchive&, std::string&)> change;
    std::string message;
  };
  const auto field = [](size_t k, std::function<uint32_t(const BuiltArchive&, uint32_t)> value) {
    return [k, value](const FixtureArchive& a, const BuiltArchive& b, std::string& bytes) {
      SetField(bytes, FieldAt(a, b, 1, k), value(b, static_cast<uint32_t>(bytes.size())));
    };
  };
  const auto flip = [](size_t offsetInData) {
    return [offsetInData](const FixtureArchive&, const BuiltArchive& b, std::string& bytes) {
      bytes[b.dataOffsets[1] + offsetInData] ^= 0x10;
    };
  };
  constexpr size_t kCSize = 0, kUSize = 1, kDataOffset = 2;
  std::vector<Case> cases;
  for (uint32_t type : {0u, 1u, 2u}) {
    cases.push_back({"data offset far beyond the file", type,
                     field(kDataOffset, [](auto&, uint32_t) { return 0xFFFFFFF8u; }), outside});
    cases.push_back(
        {"data one byte past the end", type,
         field(kDataOffset, [](const BuiltArchive& b,
                               uint32_t size) { return size - Rounded(b.cSizes[1]) + 1; }),
         outside});
    cases.push_back({"CSize 0xFFFFFFFF", type,
                     field(kCSize, [](auto&, uint32_t) { return 0xFFFFFFFFu; }), outside});
  }
  for (uint32_t type : {0u, 1u}) {
    cases.push_back({"USize one beyond the stored length", type,
                     field(kUSize, [](auto&, uint32_t) { return Rounded(100) + 1; }), larger});
    cases.push_back({"USize 0xFFFFFFFF", type,
                     field(kUSize, [](auto&, uint32_t) { return 0xFFFFFFFFu; }), larger});
  }
  cases.push_back({"bit flip in the first block", 2, flip(0), damaged});
  cases.push_back({"bit flip in the last block of the stream", 2,
                   [](const FixtureArchive&, const BuiltArchive& b, std::string& bytes) {
                     bytes[b.dataOffsets[1] + b.cSizes[1] - 1] ^= 0x01;
                   },
                   damaged});
  cases.push_back({"CSize one short", 2,
                   field(kCSize, [](const BuiltArchive& b, uint32_t) { return b.cSizes[1] - 1; }),
                   damaged});
  cases.push_back({"CSize 2", 2, field(kCSize, [](auto&, uint32_t) { return 2u; }), damaged});
  cases.push_back({"CSize 0", 2, field(kCSize, [](auto&, uint32_t) { return 0u; }), damaged});
  cases.push_back(
      {"USize one short", 2, field(kUSize, [](auto&, uint32_t) { return 99u; }), damaged});
  cases.push_back({"USize 0", 2, field(kUSize, [](auto&, uint32_t) { return 0u; }), damaged});
  cases.push_back({"no name", 2,
                   [](const FixtureArchive&, const BuiltArchive& b, std::string& bytes) {
                     // NameLength 0 and the five name bytes gone.
                     SetField(bytes, b.recordOffsets[1], 0);
                     bytes.erase(b.recordOffsets[1] + 4, 5);
                   },
                   "Unable to create file ''\n"});
  cases.push_back({"record beyond the file", 2,
                   [](const FixtureArchive&, const BuiltArchive& b, std::string& bytes) {
                     SetField(bytes, b.recordOffsets[1], 4096);
                   },
                   std::string(kUnexpectedEnd)});

  for (const auto& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type) + ": " + c.what);
    FixtureArchive archive = AroundMiddleEntry(c.type, content);
    const BuiltArchive built = BuildArchive(archive);
    std::string bytes = built.bytes;
    c.change(archive, built, bytes);
    WriteFile("a.qlx", bytes);

    const RunResult result = Run({"-d", "a.qlx"});
    EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(c.type) + CountLine(3) +
                              std::string(kListHeader) + Row("a.txt", built.cSizes[0], 4) +
                              c.message);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ListFiles(), (Files{"a.qlx", "a.txt"}));
    EXPECT_EQ(ReadFile("a.txt"), "AAAA");
    ClearWorkDir();
  }
}

TEST_F(ReaderTest, WrongKeyIsReportedAsDamage) {
  struct Case {
    const ArchiveKey* writtenWith;
    std::string option;
  };
  for (const Case& c : {Case{&DemoKey, "-d"}, Case{&FullKey, "-dq"}}) {
    SCOPED_TRACE(c.option);
    FixtureArchive archive;
    archive.key = c.writtenWith;
    archive.entries = {{.name = "a.txt", .content = "some text"}};
    PutArchive(archive);
    const RunResult result = Run({c.option, "a.qlx"});
    EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) + CountLine(1) +
                              std::string(kListHeader) +
                              "Error uncompressing file 'a.txt'! The archive is damaged or the "
                              "key is wrong.\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ListFiles(), Files{"a.qlx"});
  }
}

// Entries whose fields disagree with their data but can still be extracted.
TEST_F(ReaderTest, LenientEntries) {
  const std::string content = Binary(60, 4) + std::string(40, 'b');
  struct Case {
    std::string what;
    uint32_t type;
    size_t field;  // 0 CSize, 1 USize, 2 DataOffset of entry b.txt
    std::function<uint32_t(const BuiltArchive&, uint32_t size)> value;
    // The file b.txt and the row's sizes, given the archive's bytes.
    std::function<std::string(const std::string&)> expectedFile;
  };
  const auto whole = [&](const std::string&) { return content; };
  const std::vector<Case> cases = {
      {"type 2 stream shorter than USize", 2, 1, [](auto&, uint32_t) { return 150u; }, whole},
      {"type 2 USize 0xFFFFFFFF", 2, 1, [](auto&, uint32_t) { return 0xFFFFFFFFu; }, whole},
      {"type 0 USize up to the stored length", 0, 1, [](auto&, uint32_t) { return Rounded(100); },
       [&](const std::string&) { return content + std::string(4, '\0'); }},
      {"type 1 USize up to the stored length", 1, 1, [](auto&, uint32_t) { return Rounded(100); },
       [&](const std::string&) { return content + std::string(4, '\0'); }},
      {"type 0 USize below the content", 0, 1, [](auto&, uint32_t) { return 10u; },
       [&](const std::string&) { return content.substr(0, 10); }},
      {"type 0 data ending exactly at the end of the file", 0, 2,
       [](const BuiltArchive& b, uint32_t size) { return size - Rounded(b.cSizes[1]); },
       [](const std::string& bytes) { return bytes.substr(bytes.size() - Rounded(100), 100); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FixtureArchive archive = AroundMiddleEntry(c.type, content);
    const BuiltArchive built = BuildArchive(archive);
    std::string bytes = built.bytes;
    const uint32_t value = c.value(built, static_cast<uint32_t>(bytes.size()));
    SetField(bytes, FieldAt(archive, built, 1, c.field), value);
    WriteFile("a.qlx", bytes);
    const std::string expectedB = c.expectedFile(bytes);

    const RunResult result = Run({"-d", "a.qlx"});
    EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(c.type) + CountLine(3) +
                              std::string(kListHeader) + Row("a.txt", built.cSizes[0], 4) +
                              Row("b.txt", built.cSizes[1], expectedB.size()) +
                              Row("c.txt", built.cSizes[2], 4) + std::string(kExtractedClosing));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(ListFiles(), (Files{"a.qlx", "a.txt", "b.txt", "c.txt"}));
    EXPECT_TRUE(ReadFile("b.txt") == expectedB);
    EXPECT_EQ(ReadFile("c.txt"), "CCCC");
    ClearWorkDir();
  }
}

// ---------------------------------------------------------------------------
// Names.

TEST_F(ReaderTest, NamesMakeTheirDirectoriesAndEndAtZeroByte) {
  FixtureArchive archive;
  archive.entries = {
      {.name = "a/b/c.txt", .content = "C"},
      {.name = "a/b/d.txt", .content = "D"},
      {.name = std::string("cut.txt\0/../../junk", 19), .content = "N"},
      {.name = "./dot.txt", .content = "."},
  };
  const BuiltArchive built = PutArchive(archive);
  const RunResult result = Run({"-d", "a.qlx"});
  EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) + CountLine(4) +
                            std::string(kListHeader) + Row("a/b/c.txt", built.cSizes[0], 1) +
                            Row("a/b/d.txt", built.cSizes[1], 1) +
                            Row("cut.txt", built.cSizes[2], 1) +
                            Row("./dot.txt", built.cSizes[3], 1) + std::string(kExtractedClosing));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(fs::is_directory(WorkDir() / "a"));
  EXPECT_TRUE(fs::is_directory(WorkDir() / "a" / "b"));
  EXPECT_EQ(ListFiles(), (Files{"a.qlx", "a/b/c.txt", "a/b/d.txt", "cut.txt", "dot.txt"}));
  EXPECT_EQ(ReadFile("a/b/c.txt"), "C");
  EXPECT_EQ(ReadFile("cut.txt"), "N");
  ExpectNothingOutside();
}

// Dots that are not a ".." component are ordinary characters.
TEST_F(ReaderTest, NamesWithDotsThatStayInside) {
  if (UnderLauncher()) GTEST_SKIP() << "Windows drops trailing dots from names";
  FixtureArchive archive;
  archive.entries = {
      {.name = "...", .content = "3"},
      {.name = "..x/x..", .content = "X"},
  };
  const BuiltArchive built = PutArchive(archive);
  const RunResult result = Run({"-d", "a.qlx"});
  EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) + CountLine(2) +
                            std::string(kListHeader) + Row("...", built.cSizes[0], 1) +
                            Row("..x/x..", built.cSizes[1], 1) + std::string(kExtractedClosing));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ListFiles(), (Files{"...", "..x/x..", "a.qlx"}));
  ExpectNothingOutside();
}

TEST_F(ReaderTest, BackslashIsAnOrdinaryCharacterOnPosix) {
  if (UnderLauncher()) GTEST_SKIP() << "a backslash separates on Windows";
  FixtureArchive archive;
  archive.entries = {{.name = "a\\b.txt", .content = "B"}};
  const BuiltArchive built = PutArchive(archive);
  const RunResult result = Run({"-d", "a.qlx"});
  EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) + CountLine(1) +
                            std::string(kListHeader) + Row("a\\b.txt", built.cSizes[0], 1) +
                            std::string(kExtractedClosing));
  EXPECT_EQ(ListFiles(), (Files{"a.qlx", "a\\b.txt"}));
  EXPECT_FALSE(Exists("a"));
}

// Entries are decoded on several threads but put in place in directory order:
// a damaged entry among many leaves exactly the files before it and their
// rows, however far the other threads had got beyond it.
TEST_F(ReaderTest, DamagedEntryAmongManyKeepsDirectoryOrder) {
  constexpr size_t kEntries = 400;
  for (const size_t damagedAt : {size_t{0}, size_t{1}, size_t{150}, kEntries - 1}) {
    SCOPED_TRACE("damaged entry " + std::to_string(damagedAt));
    FixtureArchive archive;
    for (size_t i = 0; i < kEntries; ++i) {
      // Folders of 64 entries each.
      std::string name = "d";
      name += std::to_string(i / 64);
      name += "/f";
      name += std::to_string(i);
      archive.entries.push_back(
          {.name = name, .content = Binary(50 + i * 41 % 3000, static_cast<uint32_t>(i))});
    }
    const BuiltArchive built = BuildArchive(archive);
    std::string bytes = built.bytes;
    bytes[built.dataOffsets[damagedAt]] ^= 0x10;
    WriteFile("a.qlx", bytes);

    std::string expectedOut =
        std::string(kBanner) + TypeLine(2) + CountLine(kEntries) + std::string(kListHeader);
    Files expectedFiles = {"a.qlx"};
    for (size_t i = 0; i < damagedAt; ++i) {
      const auto& entry = archive.entries[i];
      expectedOut += Row(entry.name, built.cSizes[i], entry.content.size());
      expectedFiles.push_back(entry.name);
    }
    expectedOut +=
        Replaced("Error uncompressing file 'N'! The archive is damaged or the key is wrong.\n", "N",
                 archive.entries[damagedAt].name);
    std::sort(expectedFiles.begin(), expectedFiles.end());

    const RunResult result = Run({"-d", "a.qlx"});
    EXPECT_EQ(result.out, expectedOut);
    EXPECT_EQ(result.exitCode, 1);
    Files files = ListFiles();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, expectedFiles);
    for (size_t i = 0; i < damagedAt; i += 37) {
      EXPECT_EQ(ReadFile(archive.entries[i].name), archive.entries[i].content);
    }
    ClearWorkDir();
  }
}

TEST_F(ReaderTest, ExtractedFileReplacesAnExistingOne) {
  WriteFile("hello.txt", std::string(1000, 'o'));
  FixtureArchive archive;
  archive.entries = {{.name = "hello.txt", .content = "hi"}};
  PutArchive(archive);
  EXPECT_EQ(Run({"-d", "a.qlx"}).exitCode, 0);
  EXPECT_EQ(ReadFile("hello.txt"), "hi");
  EXPECT_EQ(ListFiles(), (Files{"a.qlx", "hello.txt"}));
}

// A destination that cannot become a file stops the run at that entry, with
// no temporary file left beside it.
TEST_F(ReaderTest, DestinationThatCannotBeCreated) {
  struct Case {
    std::string what;
    std::string blockedName;
    std::function<void()> prepare;
    Files filesAfter;
  };
  const std::vector<Case> cases = {
      {"a directory stands at the path",
       "b.txt",
       [&] { WriteFile("b.txt/keep", "k"); },
       {"a.qlx", "a.txt", "b.txt/keep"}},
      {"a file stands where a parent should be", "a.txt/b.txt", [] {}, {"a.qlx", "a.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    FixtureArchive archive;
    archive.entries = {{.name = "a.txt", .content = "AAAA"},
                       {.name = c.blockedName, .content = "BBBB"},
                       {.name = "c.txt", .content = "CCCC"}};
    const BuiltArchive built = PutArchive(archive);
    const RunResult result = Run({"-d", "a.qlx"});
    EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) + CountLine(3) +
                              std::string(kListHeader) + Row("a.txt", built.cSizes[0], 4) +
                              "Unable to create file '" + c.blockedName + "'\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(ListFiles(), c.filesAfter);
    ClearWorkDir();
  }
}

TEST_F(ReaderTest, UnsafeNamesStopExtractionBeforeAnyFileIsWritten) {
  const std::vector<std::string> unsafeNames = {
      "..",
      "../evil.txt",
      "x/../../evil.txt",
      "x/..",
      "/../evil.txt",
      "..\\evil.txt",
      "x\\..\\..\\evil.txt",
      "C:../evil.txt",
      "C:..\\evil.txt",
      std::string("..\0.txt", 7),  // the name ends at its zero byte
  };
  for (const auto& name : unsafeNames) {
    const std::string shown = name.substr(0, name.find('\0'));
    SCOPED_TRACE(shown);
    FixtureArchive archive;
    archive.entries = {{.name = "a.txt", .content = "AAAA"},
                       {.name = "b/b.txt", .content = "BBBB"},
                       {.name = name, .content = "evil"},
                       {.name = "c.txt", .content = "CCCC"}};
    const BuiltArchive built = PutArchive(archive);
    const std::string header =
        std::string(kBanner) + TypeLine(2) + CountLine(4) + std::string(kListHeader);

    const RunResult extraction = Run({"-d", "a.qlx"});
    EXPECT_EQ(extraction.out,
              header + "Unsafe file name '" + shown + "' in archive! Nothing was extracted.\n");
    EXPECT_EQ(extraction.exitCode, 1);
    EXPECT_EQ(ListFiles(), Files{"a.qlx"});
    EXPECT_FALSE(Exists("b"));
    ExpectNothingOutside();

    const RunResult listing = Run({"-l", "a.qlx"});
    EXPECT_EQ(listing.out, header + Row("a.txt", built.cSizes[0], 4) +
                               Row("b/b.txt", built.cSizes[1], 4) + Row(shown, built.cSizes[2], 4) +
                               Row("c.txt", built.cSizes[3], 4) + std::string(kListedClosing));
    EXPECT_EQ(listing.exitCode, 0);
    ClearWorkDir();
  }
}

TEST_F(ReaderTest, RootsAndDrivesAreDropped) {
  struct Case {
    std::string name;
    std::string extractedAs;
  };
  std::vector<Case> cases = {
      {"/etc/x", "etc/x"},           {"//abs//y.txt", "abs/y.txt"}, {"\\back.txt", "back.txt"},
      {"C:/drive.txt", "drive.txt"}, {"C:bare.txt", "bare.txt"},    {"z:\\zz.txt", "zz.txt"},
      {"/C:/both.txt", "both.txt"},
  };
  FixtureArchive archive;
  for (const auto& c : cases) archive.entries.push_back({.name = c.name, .content = c.name});
  const BuiltArchive built = PutArchive(archive);

  std::string rows;
  Files expectedFiles = {"a.qlx"};
  for (size_t i = 0; i < cases.size(); ++i) {
    rows += Row(cases[i].name, built.cSizes[i], cases[i].name.size());
    expectedFiles.push_back(cases[i].extractedAs);
  }
  std::sort(expectedFiles.begin(), expectedFiles.end());
  const RunResult result = Run({"-d", "a.qlx"});
  EXPECT_EQ(result.out, std::string(kBanner) + TypeLine(2) +
                            CountLine(static_cast<uint32_t>(cases.size())) +
                            std::string(kListHeader) + rows + std::string(kExtractedClosing));
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(ListFiles(), expectedFiles);
  for (const auto& c : cases) EXPECT_EQ(ReadFile(c.extractedAs), c.name);
  ExpectNothingOutside();
}

TEST_F(ReaderTest, SymbolicLinkAtTheDestinationIsReplaced) {
  if (UnderLauncher()) GTEST_SKIP() << "symbolic links are a POSIX test";
  const fs::path target = Root() / "target.txt";
  { std::ofstream(target, std::ios::binary) << "original"; }
  fs::create_symlink(target, WorkDir() / "link.txt");
  fs::create_symlink(Root() / "nowhere.txt", WorkDir() / "dangling.txt");
  FixtureArchive archive;
  archive.entries = {{.name = "link.txt", .content = "new"},
                     {.name = "dangling.txt", .content = "fresh"}};
  PutArchive(archive);

  const RunResult result = Run({"-d", "a.qlx"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_FALSE(fs::is_symlink(WorkDir() / "link.txt"));
  EXPECT_FALSE(fs::is_symlink(WorkDir() / "dangling.txt"));
  EXPECT_EQ(ReadFile("link.txt"), "new");
  EXPECT_EQ(ReadFile("dangling.txt"), "fresh");
  EXPECT_EQ(ListOutsideWork(), Files{"target.txt"});
  std::ifstream stream(target, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "original");
}

// ---------------------------------------------------------------------------
// Hostile archives: every cut and single-bit changes of a small archive.
// Whatever the bytes, the tool ends normally with 0 or 1, writes nothing
// outside the working directory and leaves no temporary file. The name is one
// bit away from climbing out in two ways ('/' ^ 1 is '.').
//
// Every bit is flipped where the reader takes a number, a name or data; in the
// magic field and the bytes it never interprets (EntryReserved, EntryTail,
// DirectoryTail) one bit per byte is enough. That keeps it to some 550 runs.

TEST_F(ReaderTest, CutAndFlippedArchivesStayContained) {
  FixtureArchive archive;
  archive.entries = {{.name = "C:.//g", .content = "hi"}};
  const BuiltArchive built = BuildArchive(archive);
  const std::string& original = built.bytes;
  const size_t uninterpretedFrom = FieldAt(archive, built, 0, 3);

  std::vector<std::pair<std::string, std::string>> variants;
  for (size_t length = 0; length < original.size(); ++length) {
    variants.emplace_back("cut at " + std::to_string(length), original.substr(0, length));
  }
  for (size_t at = 0; at < original.size(); ++at) {
    const bool everyBit = at >= 32 && at < uninterpretedFrom;
    for (int bit = 0; bit < 8; ++bit) {
      if (!everyBit && bit != static_cast<int>(at % 8)) continue;
      std::string bytes = original;
      bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
      variants.emplace_back("byte " + std::to_string(at) + " bit " + std::to_string(bit), bytes);
    }
  }

  for (const auto& [what, bytes] : variants) {
    SCOPED_TRACE(what);
    WriteFile("a.qlx", bytes);
    const RunResult result = Run({"-d", "a.qlx"});
    EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 1) << result.exitCode;
    EXPECT_EQ(result.out.substr(0, kBanner.size()), kBanner);
    ExpectNothingOutside();
    for (const auto& file : ListFiles()) {
      EXPECT_EQ(file.find(".quarlix-"), std::string::npos) << "left behind: " << file;
    }
    if (HasFailure()) break;
    ClearWorkDir();
  }
}

}  // namespace
}  // namespace quarlix::e2e
