// Entry data: the encoder gives exactly zlib's one-shot compress bytes however
// the file is fed, and the decoder refuses damaged entries.
#include "archive/entry_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_keys.h"
#include "archive/fast_inflater.h"
#include "cli/messages.h"

namespace quarlix {
namespace {

std::vector<uint8_t> SampleData(size_t size, unsigned seed) {
  // Half text-like (compressible), half random, so deflate makes both kinds of blocks.
  std::mt19937 random(seed);
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) {
    data[i] = (i / 4096) % 2 == 0 ? static_cast<uint8_t>("abcde fghij\n"[random() % 12])
                                  : static_cast<uint8_t>(random());
  }
  return data;
}

// What the format stores for a file: compress(), zero fill, Blowfish.
std::vector<uint8_t> OneShotStored(const std::vector<uint8_t>& data, uLongf& cSize) {
  cSize = compressBound(static_cast<uLong>(data.size()));
  std::vector<uint8_t> out(cSize + 8, 0);
  EXPECT_EQ(compress(out.data(), &cSize, data.data(), static_cast<uLong>(data.size())), Z_OK);
  out.resize((cSize + 7) / 8 * 8);
  std::fill(out.begin() + static_cast<ptrdiff_t>(cSize), out.end(), 0);
  EncryptBuffer(out.data(), static_cast<uint32_t>(out.size()), FullKey.data(), kArchiveKeyLength);
  return out;
}

TEST(EntryEncoderTest, PiecesGiveTheBytesOfOneShotCompress) {
  const KeyedCipher cipher(FullKey.data(), kArchiveKeyLength);
  EntryEncoder encoder(cipher);
  const size_t sizes[] = {0, 1, 7, 8, 9, 13, 65535, 65536, 65537, 300000, 3 << 20};
  const size_t pieces[] = {1, 4096, 65536, 1 << 20};
  for (const size_t size : sizes) {
    const auto data = SampleData(size, static_cast<unsigned>(size));
    uLongf expectedCSize = 0;
    const auto expected = OneShotStored(data, expectedCSize);
    for (const size_t piece : pieces) {
      if (piece == 1 && size > 70000) continue;  // byte by byte only where it is quick
      std::vector<uint8_t> stored;
      const ByteSink sink = [&](const uint8_t* bytes, size_t count) {
        stored.insert(stored.end(), bytes, bytes + count);
      };
      encoder.Begin();
      for (size_t at = 0; at < size; at += piece) {
        encoder.Feed(data.data() + at, std::min(piece, size - at), sink);
      }
      EXPECT_EQ(encoder.Finish(sink), expectedCSize) << size << " in pieces of " << piece;
      EXPECT_EQ(stored, expected) << size << " in pieces of " << piece;
    }
  }
}

class EntryDecoderTest : public ::testing::Test {
 protected:
  // Decodes a type 2 entry stored at offset 0 of bytes; returns the file's bytes.
  std::vector<uint8_t> Decode(const std::vector<uint8_t>& bytes, const EntryFields& fields,
                              uint32_t type = EncryptedCompressed) {
    MemorySource source(bytes);
    CheckEntryData(fields, type, bytes.size(), "e");
    std::vector<uint8_t> out;
    const uint32_t produced =
        decoder_.Decode(source, type, fields, "e",
                        [&](const uint8_t* d, size_t n) { out.insert(out.end(), d, d + n); });
    EXPECT_EQ(produced, out.size());
    return out;
  }

  std::string Failure(const std::vector<uint8_t>& bytes, const EntryFields& fields,
                      uint32_t type = EncryptedCompressed) {
    try {
      Decode(bytes, fields, type);
      return "";
    } catch (const FatalError& error) {
      return error.Text();
    }
  }

  KeyedCipher cipher_{FullKey.data(), kArchiveKeyLength};
  EntryDecoder decoder_{cipher_};
};

TEST_F(EntryDecoderTest, RoundTripsEverySize) {
  for (const size_t size :
       {size_t{0}, size_t{1}, size_t{8}, size_t{100000}, size_t{(1 << 20) + 3}}) {
    const auto data = SampleData(size, 7);
    uLongf cSize = 0;
    const auto stored = OneShotStored(data, cSize);
    EXPECT_EQ(Decode(stored, {static_cast<uint32_t>(cSize), static_cast<uint32_t>(size), 0, 1}),
              data)
        << size;
  }
}

TEST_F(EntryDecoderTest, PlainAndEncryptedGiveTheFirstUSizeBytes) {
  auto data = SampleData(21, 3);
  data.resize(24, 0xAB);  // filler after the file is ignored
  const EntryFields fields{21, 21, 0, 1};
  auto expected = data;
  expected.resize(21);
  EXPECT_EQ(Decode(data, fields, Plain), expected);
  auto enciphered = data;
  cipher_.Encrypt(enciphered.data(), enciphered.size());
  EXPECT_EQ(Decode(enciphered, fields, Encrypted), expected);
}

TEST_F(EntryDecoderTest, RefusesDamagedEntries) {
  const auto data = SampleData(5000, 11);
  uLongf cSize = 0;
  const auto stored = OneShotStored(data, cSize);
  const uint32_t c = static_cast<uint32_t>(cSize);
  auto flipped = stored;
  flipped[stored.size() / 2] ^= 0x10;
  std::vector<uint8_t> wrongKey = stored;
  DecryptBuffer(wrongKey.data(), static_cast<uint32_t>(wrongKey.size()), FullKey.data(), 8);
  EncryptBuffer(wrongKey.data(), static_cast<uint32_t>(wrongKey.size()), DemoKey.data(), 8);
  const std::string damaged =
      "Error uncompressing file 'e'! The archive is damaged or the key is wrong.";
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    EntryFields fields;
    uint32_t type;
    std::string expected;
  };
  const Case cases[] = {
      // First, while the decoder has read nothing yet and its buffers are empty.
      {"CSize zero", stored, {0, 5000, 0, 1}, EncryptedCompressed, damaged},
      {"bit flip", flipped, {c, 5000, 0, 1}, EncryptedCompressed, damaged},
      {"wrong key", wrongKey, {c, 5000, 0, 1}, EncryptedCompressed, damaged},
      {"stream cut short", stored, {c - 9, 5000, 0, 1}, EncryptedCompressed, damaged},
      {"USize too small", stored, {c, 4999, 0, 1}, EncryptedCompressed, damaged},
      {"USize zero", stored, {c, 0, 0, 1}, EncryptedCompressed, damaged},
      {"data past the end",
       stored,
       {c, 5000, 8, 1},
       EncryptedCompressed,
       "Data of file 'e' lies outside the archive!"},
      {"offset and size wrap",
       stored,
       {0xFFFFFFFF, 5000, 0xFFFFFFF8, 1},
       EncryptedCompressed,
       "Data of file 'e' lies outside the archive!"},
      {"plain USize beyond stored",
       stored,
       {8, 9, 0, 1},
       Plain,
       "File 'e' is larger than its stored data!"},
      {"encrypted USize beyond stored",
       stored,
       {9, 17, 0, 1},
       Encrypted,
       "File 'e' is larger than its stored data!"},
  };
  for (const Case& c : cases) EXPECT_EQ(Failure(c.bytes, c.fields, c.type), c.expected) << c.what;

  // A stream that holds fewer bytes than USize is no failure: the bytes it holds count.
  try {
    EXPECT_EQ(Decode(stored, {c, 6000, 0, 1}), data);
  } catch (const FatalError& error) {
    ADD_FAILURE() << error.Text();
  }
}

}  // namespace
}  // namespace quarlix

namespace quarlix {
namespace {

// zlib's verdict on a whole stream: the bytes, or nothing for a stream that is
// damaged, ends early or holds more than capacity bytes.
std::optional<std::vector<uint8_t>> ZlibVerdict(const std::vector<uint8_t>& stream,
                                                size_t capacity) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  std::vector<uint8_t> out(capacity + 1);
  z.next_in = const_cast<uint8_t*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_FINISH);
  const size_t produced = out.size() - z.avail_out;
  inflateEnd(&z);
  if (result != Z_STREAM_END || produced > capacity) return std::nullopt;
  out.resize(produced);
  return out;
}

// The faster decoder of small entries must accept and refuse exactly what the
// streaming zlib decoder does, or an archive would extract differently by size.
TEST(FastInflaterTest, AgreesWithZlib) {
  if (!FastInflater::Available()) GTEST_SKIP() << "this build has no faster decoder";
  FastInflater inflater;
  for (const size_t size : {size_t{0}, size_t{1}, size_t{100}, size_t{5000}, size_t{300000}}) {
    const auto data = SampleData(size, static_cast<unsigned>(size) + 5);
    uLongf cSize = compressBound(static_cast<uLong>(size));
    std::vector<uint8_t> stream(cSize);
    ASSERT_EQ(compress(stream.data(), &cSize, data.data(), static_cast<uLong>(size)), Z_OK);
    stream.resize(cSize);

    struct Variant {
      std::string what;
      std::vector<uint8_t> stream;
      size_t capacity;
    };
    std::vector<Variant> variants = {
        {"whole", stream, size},
        {"more room than bytes", stream, size + 100},
        {"one byte too little room", stream, size == 0 ? 0 : size - 1},
        {"cut by one byte", {stream.begin(), stream.end() - 1}, size},
        {"cut in half", {stream.begin(), stream.begin() + stream.size() / 2}, size},
        {"zero fill after the end", stream, size},
    };
    variants.back().stream.resize(stream.size() + 7, 0);
    for (size_t i = 0; i < 40; ++i) {
      auto flipped = stream;
      const size_t at = i * stream.size() / 40;
      flipped[at] ^= static_cast<uint8_t>(1u << (i % 8));
      variants.push_back({"bit flip at " + std::to_string(at), flipped, size});
    }

    for (const auto& variant : variants) {
      SCOPED_TRACE(std::to_string(size) + " bytes, " + variant.what);
      std::vector<uint8_t> out(std::max<size_t>(variant.capacity, 1));
      const auto produced = inflater.Inflate(variant.stream.data(), variant.stream.size(),
                                             out.data(), variant.capacity);
      std::optional<std::vector<uint8_t>> verdict;
      if (produced) verdict.emplace(out.begin(), out.begin() + static_cast<ptrdiff_t>(*produced));
      EXPECT_EQ(verdict, ZlibVerdict(variant.stream, variant.capacity));
    }
  }
}

}  // namespace
}  // namespace quarlix
