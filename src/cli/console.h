// The console texts and layouts that the operations share.
//
// All text goes to standard output. A line end is "\n" followed by a flush; a
// "\n" inside a fixed text is written without one. Numbers are unsigned 32-bit
// decimals. A Console made without a stream writes nothing (the fuzzer uses it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace quarlix {

class Console {
 public:
  explicit Console(std::FILE* out) : out_(out) {}

  // Text as it stands; a "\n" within it is not flushed.
  void Write(std::string_view text);
  // "\n" and a flush.
  void LineEnd();
  void Flush();

  // "Quarlix 1.0 - ...\n\n", first in every run, no flush of its own.
  void Banner();
  // "ArchiveType\t\t: 2 (Encrypted and compressed)" and a line end.
  void TypeLine(uint32_t archiveType);
  // "FileCount\t\t: N" and two line ends.
  void CountLine(uint32_t fileCount);
  // "Files to add\t: N" and two line ends.
  void AddCountLine(uint32_t addCount);
  // The header of the list table (CSize, USize) or of the create/add table
  // (USize, CSize), each with its own "\n" and no flush.
  void ListTableHeader();
  void StoreTableHeader();
  // Row pieces: the name left-aligned in 62 characters (a longer name is written
  // whole), a number right-aligned in 8.
  void RowName(std::string_view name);
  void RowNumber(uint32_t value);
  // A whole row of the list table: name, CSize, USize and a line end.
  void ListRow(std::string_view name, uint32_t cSize, uint32_t uSize);

 private:
  std::FILE* out_;
};

}  // namespace quarlix
