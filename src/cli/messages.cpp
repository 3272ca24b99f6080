#include "cli/messages.h"

namespace quarlix {

std::string_view MessageText(MessageId id) {
  switch (id) {
    case MessageId::kUsage:
      return "Usage: Quarlix -[acdl] filename.qlx [directory]\n"
             "(a=add, c=compress, d=decompress, l=list, -q=demoversion) With switches -c and -a "
             "you'll need to specify a directory name in which the files are.";
    case MessageId::kCouldNotOpenFile:
      return "Could not open file '%arg'";
    case MessageId::kNotValidArchive:
      return "'%arg' is not a valid Refractor2 FinkelArchive 1.0 file.";
    case MessageId::kUnexpectedEndOfFile:
      return "Unexpected end of file!";
    case MessageId::kErrorReadingFile:
      return "Error reading file!";
    case MessageId::kUnknownArchiveType:
      return "Unknown archive type in file '%arg'! Type must be 0, 1 or 2.";
    case MessageId::kOffsetExceedsFileSize:
      return "Offset exceeds file size!";
    case MessageId::kNoFilesInArchive:
      return "No files in archive!";
    case MessageId::kUnableToCreateFile:
      return "Unable to create file '%arg'";
    case MessageId::kUnableToWriteToFile:
      return "Unable to write to file '%arg'";
    case MessageId::kCouldNotOpenDirectory:
      return "Couldn't open directory '%arg'";
    case MessageId::kNoFilesFound:
      return "No files Found!";
    case MessageId::kOutOfMemory:
      return "Out of memory!";
    case MessageId::kErrorCompressingData:
      return "Error compressing data. This shouldn't happen.";
    case MessageId::kUnsafeEntryName:
      return "Unsafe file name '%arg' in archive! Nothing was extracted.";
    case MessageId::kEntryDataOutsideArchive:
      return "Data of file '%arg' lies outside the archive!";
    case MessageId::kEntryLargerThanStoredData:
      return "File '%arg' is larger than its stored data!";
    case MessageId::kEntryDamaged:
      return "Error uncompressing file '%arg'! The archive is damaged or the key is wrong.";
    case MessageId::kFileTooLarge:
      return "File '%arg' is too large! Files must be smaller than 4 GiB.";
    case MessageId::kArchiveTooLarge:
      return "Archive '%arg' would grow too large! Archives must be smaller than 4 GiB.";
    case MessageId::kTreeChanged:
      return "Files under '%arg' changed during the scan!";
    case MessageId::kAddNeedsCompressedArchive:
      return "Cannot add to '%arg'! Files can only be added to archives of type 2.";
  }
  return "";
}

std::string FatalError::Text() const {
  std::string text = Message;
  if (Argument) {
    // Only the first placeholder is replaced, and the inserted text is not
    // searched again.
    const auto at = text.find("%arg");
    if (at != std::string::npos) text.replace(at, 4, *Argument);
  }
  return text;
}

FatalError MakeFatal(MessageId id) { return FatalError{std::string(MessageText(id)), 1, {}}; }

FatalError MakeFatal(MessageId id, std::string_view argument) {
  return FatalError{std::string(MessageText(id)), 1, std::string(argument)};
}

void Fail(MessageId id) { throw MakeFatal(id); }

void Fail(MessageId id, std::string_view argument) { throw MakeFatal(id, argument); }

}  // namespace quarlix
