// Turning an entry's stored bytes into the file's bytes and back, in pieces, so
// that memory does not grow with the size of a file.
//
// Stored bytes by archive type: 0, the file's bytes (padded); 1, the file's
// bytes (padded) enciphered; 2, the zlib stream of the file (exactly what
// zlib's compress gives at its default level), zero-filled to a multiple of 8
// and enciphered.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "archive/archive_format.h"
#include "archive/blowfish.h"
#include "archive/byte_source.h"
#include "archive/fast_inflater.h"

namespace quarlix {

// Receives output in pieces.
using ByteSink = std::function<void(const uint8_t* data, size_t size)>;

// Refuses, before any output is opened, an entry whose stored bytes do not lie
// wholly inside an archive of archiveSize bytes, or (types 0 and 1) whose USize
// is larger than its StoredLength. name names the entry in the messages.
void CheckEntryData(const EntryFields& fields, uint32_t archiveType, uint64_t archiveSize,
                    std::string_view name);

// Decodes entries and hands each file's bytes to a sink in pieces. Reused from
// entry to entry.
class EntryDecoder {
 public:
  explicit EntryDecoder(const KeyedCipher& cipher);
  ~EntryDecoder();
  EntryDecoder(const EntryDecoder&) = delete;
  EntryDecoder& operator=(const EntryDecoder&) = delete;

  // Returns the number of bytes produced: USize, or for type 2 what the zlib
  // stream holds, which may be fewer. A zlib stream that is damaged, ends early
  // or holds more than USize bytes fails with a message that names the entry.
  // Call CheckEntryData first.
  uint32_t Decode(ByteSource& source, uint32_t archiveType, const EntryFields& fields,
                  std::string_view name, const ByteSink& sink);

 private:
  void ReadStored(ByteSource& source, uint64_t offset, size_t size);
  uint32_t Inflate(ByteSource& source, const EntryFields& fields, std::string_view name,
                   const ByteSink& sink);
  uint32_t InflateWhole(ByteSource& source, const EntryFields& fields, std::string_view name,
                        const ByteSink& sink);

  const KeyedCipher& cipher_;
  z_stream stream_{};
  bool initialised_ = false;
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
  FastInflater fast_;
  std::unique_ptr<uint8_t[]> whole_;  // a small entry's whole file
  size_t wholeSize_ = 0;
};

// Compresses one file fed in pieces into the bytes zlib's compress would give
// for the whole file, zero-fills them to a multiple of 8 and enciphers them,
// handing the stored bytes to a sink in pieces. Reused from file to file.
class EntryEncoder {
 public:
  explicit EntryEncoder(const KeyedCipher& cipher);
  ~EntryEncoder();
  EntryEncoder(const EntryEncoder&) = delete;
  EntryEncoder& operator=(const EntryEncoder&) = delete;

  // Starts a new entry.
  void Begin();
  void Feed(const uint8_t* data, size_t size, const ByteSink& sink);
  // Ends the entry; returns its CSize (the zlib stream's length, before padding).
  uint64_t Finish(const ByteSink& sink);

 private:
  void Deflate(const uint8_t* data, size_t size, int flush, const ByteSink& sink);

  const KeyedCipher& cipher_;
  z_stream stream_{};
  bool initialised_ = false;
  uint64_t cSize_ = 0;
  // deflate's output, behind the first pendingSize_ bytes: the start of a
  // block that is not yet whole, kept until the next output completes it.
  std::vector<uint8_t> out_;
  size_t pendingSize_ = 0;
};

}  // namespace quarlix
