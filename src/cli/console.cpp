#include "cli/console.h"

#include <charconv>
#include <string>

namespace quarlix {
namespace {

constexpr std::string_view kBanner =
    "Quarlix 1.0 - archive tool for Refractor2 FinkelArchive 1.0 files\n\n";
constexpr size_t kNameWidth = 62;
constexpr size_t kNumberWidth = 8;
// Padding for the fields of a row.
constexpr std::string_view kSpaces =
    "                                                                ";
static_assert(kSpaces.size() >= kNameWidth);

std::string_view TypeDescription(uint32_t archiveType) {
  switch (archiveType) {
    case 0:
      return " (Straight forward)";
    case 1:
      return " (Encrypted, not compressed)";
    default:
      return " (Encrypted and compressed)";
  }
}

}  // namespace

void Console::Write(std::string_view text) {
  if (out_ != nullptr && !text.empty()) std::fwrite(text.data(), 1, text.size(), out_);
}

void Console::LineEnd() {
  Write("\n");
  Flush();
}

void Console::Flush() {
  if (out_ != nullptr) std::fflush(out_);
}

void Console::Banner() { Write(kBanner); }

void Console::TypeLine(uint32_t archiveType) {
  Write("ArchiveType\t\t: ");
  Write(std::to_string(archiveType));
  Write(TypeDescription(archiveType));
  LineEnd();
}

void Console::CountLine(uint32_t fileCount) {
  Write("FileCount\t\t: ");
  Write(std::to_string(fileCount));
  LineEnd();
  LineEnd();
}

void Console::AddCountLine(uint32_t addCount) {
  Write("Files to add\t: ");
  Write(std::to_string(addCount));
  LineEnd();
  LineEnd();
}

void Console::ListTableHeader() {
  Write("FileName                                                         CSize   USize\n");
}

void Console::StoreTableHeader() {
  Write("FileName                                                         USize   CSize\n");
}

void Console::RowName(std::string_view name) {
  Write(name);
  if (name.size() < kNameWidth) Write(kSpaces.substr(0, kNameWidth - name.size()));
}

void Console::RowNumber(uint32_t value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const size_t length = static_cast<size_t>(end - digits);
  if (length < kNumberWidth) Write(kSpaces.substr(0, kNumberWidth - length));
  Write(std::string_view(digits, length));
}

void Console::ListRow(std::string_view name, uint32_t cSize, uint32_t uSize) {
  RowName(name);
  RowNumber(cSize);
  RowNumber(uSize);
  LineEnd();
}

}  // namespace quarlix
