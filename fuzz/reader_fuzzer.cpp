// libFuzzer entry point for the archive reader.
//
// Each input is taken as a whole archive held in memory and read the ways the
// tool reads one: listed, then decoded entry by entry with each archive key
// (nothing in an archive says which key it was made with). A FatalError is the
// reader refusing a damaged archive and is the expected outcome for most
// inputs. Anything else escapes to libFuzzer and is a finding; in particular
// std::bad_alloc, because the reader must never allocate by a size that the
// archive claims — for inputs of at most a few dozen KiB it has no reason to
// run out of memory. Run with -malloc_limit_mb so that a large allocation that
// happens to succeed is reported too.
#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/archive_format.h"
#include "archive/archive_keys.h"
#include "archive/byte_source.h"
#include "archive/little_endian.h"
#include "cli/console.h"
#include "cli/messages.h"
#include "ops/read_archive.h"

namespace {

void Read(std::span<const uint8_t> bytes, const quarlix::ArchiveKey& key, quarlix::ReadMode mode) {
  quarlix::MemorySource source(bytes);
  quarlix::Console console(nullptr);
  try {
    quarlix::ReadArchive(source, "fuzz-input", key, mode, console);
  } catch (const quarlix::FatalError&) {
    // A refused archive: the reader did its job.
  }
}

// Entries of a plain archive are not enciphered, so one key decodes them as
// well as the other: a second pass would find nothing new.
bool IsPlainArchive(std::span<const uint8_t> bytes) {
  return bytes.size() >= quarlix::kHeaderSize &&
         quarlix::DecodeFixed32(bytes.data() + quarlix::kArchiveTypeAt) == quarlix::Plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  Read(bytes, quarlix::FullKey, quarlix::ReadMode::kList);
  Read(bytes, quarlix::FullKey, quarlix::ReadMode::kDecodeOnly);
  if (!IsPlainArchive(bytes)) Read(bytes, quarlix::DemoKey, quarlix::ReadMode::kDecodeOnly);
  return 0;
}
