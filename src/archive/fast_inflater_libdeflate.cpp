// The faster decoder: libdeflate.
#include <libdeflate.h>

#include <new>

#include "archive/fast_inflater.h"

namespace quarlix {

bool FastInflater::Available() { return true; }

FastInflater::FastInflater() = default;

FastInflater::~FastInflater() {
  if (decoder_) libdeflate_free_decompressor(static_cast<libdeflate_decompressor*>(decoder_));
}

std::optional<size_t> FastInflater::Inflate(const uint8_t* in, size_t inSize, uint8_t* out,
                                            size_t capacity) {
  if (!decoder_) {
    decoder_ = libdeflate_alloc_decompressor();
    if (!decoder_) throw std::bad_alloc();
  }
  size_t consumed = 0;
  size_t produced = 0;
  // With both counts asked for, a stream holding fewer than capacity bytes
  // succeeds; one holding more gives LIBDEFLATE_INSUFFICIENT_SPACE.
  const libdeflate_result result =
      libdeflate_zlib_decompress_ex(static_cast<libdeflate_decompressor*>(decoder_), in, inSize,
                                    out, capacity, &consumed, &produced);
  if (result != LIBDEFLATE_SUCCESS) return std::nullopt;
  return produced;
}

}  // namespace quarlix
