// Inflating a whole zlib stream held in memory with a decoder faster than
// zlib's, where the build has one (libdeflate). Entries small enough are
// decoded this way; the others, and every entry on a build without one, are
// streamed through zlib. Both give the same bytes for every sound stream and
// refuse the same damaged ones: a stream that is broken, ends early or holds
// more bytes than the room given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quarlix {

class FastInflater {
 public:
  // Whether this build has the faster decoder; if not, Inflate must not be called.
  static bool Available();

  FastInflater();
  ~FastInflater();
  FastInflater(const FastInflater&) = delete;
  FastInflater& operator=(const FastInflater&) = delete;

  // Inflates the zlib stream at the start of in (bytes after its end are
  // ignored) into out, which has room for capacity bytes. Returns the number
  // of bytes produced, or nothing if the stream is damaged, ends early or
  // holds more than capacity bytes. Throws std::bad_alloc if the decoder
  // cannot be made.
  std::optional<size_t> Inflate(const uint8_t* in, size_t inSize, uint8_t* out, size_t capacity);

 private:
  void* decoder_ = nullptr;
};

}  // namespace quarlix
