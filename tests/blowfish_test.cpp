#include "archive/blowfish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace quarlix {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

uint32_t BigEndianWord(const Bytes& bytes, size_t offset) {
  return (uint32_t{bytes[offset]} << 24) | (uint32_t{bytes[offset + 1]} << 16) |
         (uint32_t{bytes[offset + 2]} << 8) | uint32_t{bytes[offset + 3]};
}

// Published vectors give a block as 8 big-endian bytes; archives store each
// 4-byte half little-endian, so the same block reverses within each half.
Bytes ToArchiveOrder(Bytes block) {
  std::reverse(block.begin(), block.begin() + 4);
  std::reverse(block.begin() + 4, block.end());
  return block;
}

Bytes RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

struct Vector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Eric Young's Blowfish ECB test set (8-byte keys), in big-endian hex.
const Vector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

// The same author's key-length set: plaintext FEDCBA9876543210 under the first
// n bytes of kLongKey, n = 1..24. Lengths other than 8 exercise the cycling of
// the key through the subkeys.
const char kLongKey[] = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
const char* const kKeyLengthCiphers[] = {
    "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
    "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
    "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
    "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
    "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
    "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
};

// Checks one published vector through every entry point: the block functions in
// both directions, and the buffer functions and KeyedCipher in archive byte order.
void ExpectVector(const Bytes& key, const Bytes& plain, const Bytes& cipher) {
  BlowfishContext context;
  BlowfishInit(context, key.data(), static_cast<int32_t>(key.size()));
  uint32_t left = BigEndianWord(plain, 0);
  uint32_t right = BigEndianWord(plain, 4);
  BlowfishEncryptBlock(context, left, right);
  EXPECT_EQ(left, BigEndianWord(cipher, 0));
  EXPECT_EQ(right, BigEndianWord(cipher, 4));
  BlowfishDecryptBlock(context, left, right);
  EXPECT_EQ(left, BigEndianWord(plain, 0));
  EXPECT_EQ(right, BigEndianWord(plain, 4));

  const auto keyLength = static_cast<int32_t>(key.size());
  const KeyedCipher keyed(key.data(), keyLength);
  Bytes buffer = ToArchiveOrder(plain);
  EncryptBuffer(buffer.data(), 8, key.data(), keyLength);
  EXPECT_EQ(buffer, ToArchiveOrder(cipher));
  DecryptBuffer(buffer.data(), 8, key.data(), keyLength);
  EXPECT_EQ(buffer, ToArchiveOrder(plain));
  keyed.Encrypt(buffer.data(), 8);
  EXPECT_EQ(buffer, ToArchiveOrder(cipher));
  keyed.Decrypt(buffer.data(), 8);
  EXPECT_EQ(buffer, ToArchiveOrder(plain));
}

TEST(BlowfishTest, PublishedEcbVectors) {
  for (const Vector& vector : kEcbVectors) {
    SCOPED_TRACE(std::string("key ") + vector.key + " plain " + vector.plain);
    ExpectVector(FromHex(vector.key), FromHex(vector.plain), FromHex(vector.cipher));
  }
}

TEST(BlowfishTest, PublishedKeyLengthVectors) {
  const Bytes longKey = FromHex(kLongKey);
  for (size_t length = 1; length <= std::size(kKeyLengthCiphers); ++length) {
    SCOPED_TRACE("key length " + std::to_string(length));
    ExpectVector(Bytes(longKey.begin(), longKey.begin() + static_cast<std::ptrdiff_t>(length)),
                 FromHex("FEDCBA9876543210"), FromHex(kKeyLengthCiphers[length - 1]));
  }
}

// Literal bytes, independent of ToArchiveOrder, pin the archive byte order.
TEST(BlowfishTest, BufferStoresHalvesLittleEndian) {
  struct Case {
    uint8_t keyAndPlainByte;
    Bytes cipher;
  };
  const Case cases[] = {
      {0x00, {0x45, 0x97, 0xF9, 0x4E, 0x78, 0xDD, 0x98, 0x61}},
      {0xFF, {0xD5, 0x6F, 0x86, 0x51, 0x8A, 0xCB, 0x5E, 0xB8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.keyAndPlainByte});
    const Bytes key(8, c.keyAndPlainByte);
    Bytes buffer(8, c.keyAndPlainByte);
    EncryptBuffer(buffer.data(), 8, key.data(), 8);
    EXPECT_EQ(buffer, c.cipher);
  }
}

const Bytes kKey = {0x3A, 0x91, 0x07, 0xC4, 0x5E, 0xF2, 0x68, 0xBD};
const auto kKeyLength = static_cast<int32_t>(kKey.size());

struct Operation {
  const char* name;
  void (*apply)(uint8_t* data, size_t length);
};

const Operation kOperations[] = {
    {"EncryptBuffer",
     [](uint8_t* data, size_t length) {
       EncryptBuffer(data, static_cast<uint32_t>(length), kKey.data(), kKeyLength);
     }},
    {"DecryptBuffer",
     [](uint8_t* data, size_t length) {
       DecryptBuffer(data, static_cast<uint32_t>(length), kKey.data(), kKeyLength);
     }},
    {"KeyedCipher::Encrypt",
     [](uint8_t* data, size_t length) {
       KeyedCipher(kKey.data(), kKeyLength).Encrypt(data, length);
     }},
    {"KeyedCipher::Decrypt",
     [](uint8_t* data, size_t length) {
       KeyedCipher(kKey.data(), kKeyLength).Decrypt(data, length);
     }},
};

// Every whole block changes; the tail and the bytes past `length` (a guard the
// cipher must not write) stay as they were.
TEST(BlowfishTest, OnlyWholeBlocksChange) {
  constexpr size_t kGuard = 16;
  for (const Operation& operation : kOperations) {
    for (size_t length : {0, 1, 2, 3, 4, 5, 6, 7, 8, 13, 15, 16, 39, 41}) {
      SCOPED_TRACE(std::string(operation.name) + " length " + std::to_string(length));
      const Bytes original = RandomBytes(length + kGuard, static_cast<uint32_t>(length));
      Bytes buffer = original;
      operation.apply(buffer.data(), length);
      const size_t whole = length / 8 * 8;
      for (size_t block = 0; block < whole; block += 8) {
        EXPECT_FALSE(std::equal(buffer.begin() + block, buffer.begin() + block + 8,
                                original.begin() + block))
            << "block at " << block;
      }
      EXPECT_TRUE(std::equal(buffer.begin() + whole, buffer.end(), original.begin() + whole));
    }
  }
}

TEST(BlowfishTest, DecryptUndoesEncrypt) {
  const KeyedCipher keyed(kKey.data(), kKeyLength);
  for (size_t length : {0, 5, 8, 12, 24, 33, 64, 100, 257, 4099}) {
    SCOPED_TRACE(length);
    const Bytes original = RandomBytes(length, 7);
    Bytes buffer = original;
    EncryptBuffer(buffer.data(), static_cast<uint32_t>(length), kKey.data(), kKeyLength);
    DecryptBuffer(buffer.data(), static_cast<uint32_t>(length), kKey.data(), kKeyLength);
    EXPECT_EQ(buffer, original);
    keyed.Encrypt(buffer.data(), length);
    keyed.Decrypt(buffer.data(), length);
    EXPECT_EQ(buffer, original);
  }
}

// KeyedCipher runs several blocks at once and finishes the remainder one by
// one; every length up to 70 covers each remainder after a few full groups.
TEST(BlowfishTest, KeyedCipherMatchesBufferFunctions) {
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= 70; ++length) lengths.push_back(length);
  lengths.push_back((1 << 20) + 3 * 8 + 5);  // large, and not a whole number of groups
  const KeyedCipher keyed(kKey.data(), kKeyLength);
  for (size_t length : lengths) {
    SCOPED_TRACE(length);
    const Bytes original = RandomBytes(length, static_cast<uint32_t>(length) + 100);

    Bytes expected = original;
    Bytes actual = original;
    EncryptBuffer(expected.data(), static_cast<uint32_t>(length), kKey.data(), kKeyLength);
    keyed.Encrypt(actual.data(), length);
    EXPECT_EQ(actual, expected);

    expected = original;
    actual = original;
    DecryptBuffer(expected.data(), static_cast<uint32_t>(length), kKey.data(), kKeyLength);
    keyed.Decrypt(actual.data(), length);
    EXPECT_EQ(actual, expected);
  }
}

// Blocks are independent (no chaining, no state carried between blocks or
// lanes), so equal plaintext blocks encipher alike wherever they sit.
TEST(BlowfishTest, EqualBlocksGiveEqualCiphertext) {
  const Bytes block = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
  constexpr size_t kBlocks = 11;
  for (const Operation& operation : kOperations) {
    SCOPED_TRACE(operation.name);
    Bytes buffer;
    for (size_t i = 0; i < kBlocks; ++i) buffer.insert(buffer.end(), block.begin(), block.end());
    operation.apply(buffer.data(), buffer.size());
    for (size_t i = 1; i < kBlocks; ++i) {
      EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 8, buffer.begin() + 8 * i))
          << "block " << i;
    }
  }
}

}  // namespace
}  // namespace quarlix
