// Blowfish, the 64-bit block cipher with 16 rounds, as archives of types 1 and 2
// use it: ECB over whole 8-byte blocks, each block's halves read as two
// little-endian 32-bit words (byte 0 of a block is the least significant byte of
// the left half). Bytes past the last whole block are never touched.
//
// The one-block functions and the buffer functions are the reference form. The
// key schedule depends only on the key, so the archive operations schedule it
// once per run (`KeyedCipher`) and then work on many blocks at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarlix {

struct BlowfishContext {
  std::array<uint32_t, 18> P;                  // round subkeys P1..P18
  std::array<std::array<uint32_t, 256>, 4> S;  // S-boxes S1..S4
};

// Runs the published key schedule (521 block encipherments). keyLength >= 1.
void BlowfishInit(BlowfishContext& context, const uint8_t* key, int32_t keyLength);

void BlowfishEncryptBlock(const BlowfishContext& context, uint32_t& left, uint32_t& right);
void BlowfishDecryptBlock(const BlowfishContext& context, uint32_t& left, uint32_t& right);

// Schedule a fresh context from key, then encipher/decipher every whole 8-byte
// block of buffer in place. A tail of 1 to 7 bytes is left as it is.
void EncryptBuffer(uint8_t* buffer, uint32_t length, const uint8_t* key, int32_t keyLength);
void DecryptBuffer(uint8_t* buffer, uint32_t length, const uint8_t* key, int32_t keyLength);

// A key scheduled once, for enciphering many buffers with the same bytes as
// EncryptBuffer/DecryptBuffer would give. Several independent blocks are
// processed per iteration, which ECB allows.
class KeyedCipher {
 public:
  KeyedCipher(const uint8_t* key, int32_t keyLength);

  // In place, every whole 8-byte block of [data, data + length); tail untouched.
  void Encrypt(uint8_t* data, size_t length) const;
  void Decrypt(uint8_t* data, size_t length) const;

 private:
  BlowfishContext context_;
};

}  // namespace quarlix
