// The two archive keys. Every enciphered entry of an archive is keyed with one
// of them; nothing in an archive records which. The command line chooses the key
// of a run (the letter q selects DemoKey); nothing else selects or reads keys.
#pragma once

#include <array>
#include <cstdint>

namespace quarlix {

constexpr int32_t kArchiveKeyLength = 8;
using ArchiveKey = std::array<uint8_t, kArchiveKeyLength>;

extern const ArchiveKey FullKey;
extern const ArchiveKey DemoKey;

}  // namespace quarlix
