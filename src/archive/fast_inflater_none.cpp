// A build without a faster decoder: every entry is streamed through zlib.
#include <cstdlib>

#include "archive/fast_inflater.h"

namespace quarlix {

bool FastInflater::Available() { return false; }

FastInflater::FastInflater() = default;

FastInflater::~FastInflater() = default;

std::optional<size_t> FastInflater::Inflate(const uint8_t*, size_t, uint8_t*, size_t) {
  std::abort();  // callers ask Available() first
}

}  // namespace quarlix
