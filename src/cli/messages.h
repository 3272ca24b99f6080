// Every failure message of Quarlix, in one table, and the failure record.
//
// The core never prints a failure or ends the process: it throws a FatalError,
// and only the front end (main) hands it to ReportFatal, which prints it and
// ends the process. Every failure ends with exit code 1.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarlix {

enum class MessageId {
  kUsage,
  kCouldNotOpenFile,  // %arg: the archive, or a file to store
  kNotValidArchive,   // %arg: the archive
  kUnexpectedEndOfFile,
  kErrorReadingFile,
  kUnknownArchiveType,  // %arg: the archive
  kOffsetExceedsFileSize,
  kNoFilesInArchive,
  kUnableToCreateFile,     // %arg: the entry's name
  kUnableToWriteToFile,    // %arg: the entry's name, or the archive
  kCouldNotOpenDirectory,  // %arg: the directory
  kNoFilesFound,
  kOutOfMemory,
  kErrorCompressingData,
  // Refusals that keep a hostile or damaged archive from doing harm.
  kUnsafeEntryName,            // %arg: the entry's name
  kEntryDataOutsideArchive,    // %arg: the entry's name
  kEntryLargerThanStoredData,  // %arg: the entry's name
  kEntryDamaged,               // %arg: the entry's name
  // Limits of the format's 32-bit sizes and offsets.
  kFileTooLarge,     // %arg: the file to store
  kArchiveTooLarge,  // %arg: the archive
  // The directory tree changed between the two scanning passes.
  kTreeChanged,  // %arg: the directory
  // Adding to an archive whose entries are not compressed and enciphered.
  kAddNeedsCompressedArchive,  // %arg: the archive
};

// The text of a message, possibly holding the placeholder "%arg".
std::string_view MessageText(MessageId id);

// The failure record: the message, the exit code and the optional text that
// replaces "%arg". Thrown by the core, caught and reported by main.
struct FatalError {
  std::string Message;
  int ExitCode = 1;
  std::optional<std::string> Argument;

  // The message with its first "%arg" replaced by Argument, if one is given.
  std::string Text() const;
};

FatalError MakeFatal(MessageId id);
FatalError MakeFatal(MessageId id, std::string_view argument);

// Builds the record and throws it.
[[noreturn]] void Fail(MessageId id);
[[noreturn]] void Fail(MessageId id, std::string_view argument);

}  // namespace quarlix
