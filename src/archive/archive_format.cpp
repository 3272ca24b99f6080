#include "archive/archive_format.h"

#include <cstring>

#include "archive/little_endian.h"

namespace quarlix {

bool HasMagic(const uint8_t* magicField) {
  return std::memcmp(magicField, kMagicText.data(), kMagicText.size()) == 0 &&
         magicField[kMagicText.size()] == 0;
}

void EncodeHeader(uint8_t* out, uint32_t directoryOffset, uint32_t archiveType) {
  std::memset(out, 0, kHeaderSize);
  std::memcpy(out, kMagicText.data(), kMagicText.size());
  EncodeFixed32(out + kDirectoryOffsetAt, directoryOffset);
  EncodeFixed32(out + kArchiveTypeAt, archiveType);
}

void EncodeEntryFields(uint8_t* out, const EntryFields& fields) {
  EncodeFixed32(out, fields.CSize);
  EncodeFixed32(out + 4, fields.USize);
  EncodeFixed32(out + 8, fields.DataOffset);
  EncodeFixed32(out + 12, fields.EntryReserved);
}

EntryFields DecodeEntryFields(const uint8_t* in) {
  return EntryFields{DecodeFixed32(in), DecodeFixed32(in + 4), DecodeFixed32(in + 8),
                     DecodeFixed32(in + 12)};
}

void AppendDirectoryEntry(std::string& out, std::string_view name, const EntryFields& fields) {
  uint8_t fixed[kEntryFieldsSize + kEntryTailSize] = {};
  uint8_t length[kNameLengthSize];
  EncodeFixed32(length, static_cast<uint32_t>(name.size()));
  EncodeEntryFields(fixed, fields);
  out.append(reinterpret_cast<const char*>(length), sizeof length);
  out.append(name);
  out.append(reinterpret_cast<const char*>(fixed), sizeof fixed);
}

std::string_view NameAsText(std::string_view storedName) {
  return storedName.substr(0, storedName.find('\0'));
}

}  // namespace quarlix
