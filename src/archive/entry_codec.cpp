#include "archive/entry_codec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "cli/messages.h"

namespace quarlix {
namespace {

// Pieces of 1 MiB: large enough for fast reads and writes, small enough that
// memory does not depend on the size of a file. A multiple of 8, so each piece
// is whole cipher blocks.
constexpr size_t kPieceSize = 1 << 20;
static_assert(kPieceSize % 8 == 0);

// Entries whose stored bytes fit in one piece and whose file is at most this
// size are decoded in one step where the build has a faster decoder.
constexpr uint32_t kWholeEntryLimit = 8 << 20;

[[noreturn]] void FailZlib(int result) {
  if (result == Z_MEM_ERROR) Fail(MessageId::kOutOfMemory);
  Fail(MessageId::kErrorCompressingData);
}

}  // namespace

void CheckEntryData(const EntryFields& fields, uint32_t archiveType, uint64_t archiveSize,
                    std::string_view name) {
  const uint64_t stored = StoredLength(fields.CSize);
  if (uint64_t{fields.DataOffset} + stored > archiveSize) {
    Fail(MessageId::kEntryDataOutsideArchive, name);
  }
  if (archiveType != EncryptedCompressed && fields.USize > stored) {
    Fail(MessageId::kEntryLargerThanStoredData, name);
  }
}

EntryDecoder::EntryDecoder(const KeyedCipher& cipher) : cipher_(cipher) {}

EntryDecoder::~EntryDecoder() {
  if (initialised_) inflateEnd(&stream_);
}

void EntryDecoder::ReadStored(ByteSource& source, uint64_t offset, size_t size) {
  // Grows to what entries need, at least doubling, at most a piece.
  if (in_.size() < size) in_.resize(std::max(size, std::min(2 * in_.size(), kPieceSize)));
  if (source.ReadAt(offset, in_.data(), size) != size) FailRead(source);
}

uint32_t EntryDecoder::Decode(ByteSource& source, uint32_t archiveType, const EntryFields& fields,
                              std::string_view name, const ByteSink& sink) {
  if (archiveType == EncryptedCompressed) return Inflate(source, fields, name, sink);

  // Types 0 and 1: the first USize stored bytes are the file. Only the whole
  // blocks that hold them are read (and deciphered).
  const uint64_t needed = StoredLength(fields.USize);
  for (uint64_t done = 0; done < needed; done += kPieceSize) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPieceSize, needed - done));
    ReadStored(source, fields.DataOffset + done, piece);
    if (archiveType == Encrypted) cipher_.Decrypt(in_.data(), piece);
    sink(in_.data(), static_cast<size_t>(std::min<uint64_t>(piece, fields.USize - done)));
  }
  return fields.USize;
}

uint32_t EntryDecoder::Inflate(ByteSource& source, const EntryFields& fields, std::string_view name,
                               const ByteSink& sink) {
  if (FastInflater::Available() && StoredLength(fields.CSize) <= kPieceSize &&
      fields.USize <= kWholeEntryLimit) {
    return InflateWhole(source, fields, name, sink);
  }
  int result = initialised_ ? inflateReset(&stream_) : inflateInit(&stream_);
  if (result == Z_MEM_ERROR) throw std::bad_alloc();
  if (result != Z_OK) Fail(MessageId::kEntryDamaged, name);
  initialised_ = true;
  stream_.avail_in = 0;  // nothing is left over from an entry that failed
  const size_t outSize =
      static_cast<size_t>(std::min<uint64_t>(kPieceSize, uint64_t{fields.USize} + 1));
  if (out_.size() < outSize) out_.resize(outSize);

  const uint64_t stored = StoredLength(fields.CSize);
  uint64_t readSoFar = 0;      // stored bytes read and deciphered
  uint64_t producedSoFar = 0;  // file bytes handed to the sink
  bool outputFull = false;     // inflate may hold more output for the same input
  result = Z_OK;
  while (result != Z_STREAM_END) {
    if (stream_.avail_in == 0 && !outputFull) {
      // Only the first CSize bytes are the stream; the zero fill is not.
      if (readSoFar >= fields.CSize) Fail(MessageId::kEntryDamaged, name);
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPieceSize, stored - readSoFar));
      ReadStored(source, fields.DataOffset + readSoFar, piece);
      cipher_.Decrypt(in_.data(), piece);
      stream_.next_in = in_.data();
      stream_.avail_in =
          static_cast<uInt>(std::min<uint64_t>(piece, uint64_t{fields.CSize} - readSoFar));
      readSoFar += piece;
    }
    // Never more than USize bytes: a stream that holds more is damaged.
    const uint64_t room = uint64_t{fields.USize} - producedSoFar;
    const size_t window = static_cast<size_t>(std::min<uint64_t>(out_.size(), room + 1));
    stream_.next_out = out_.data();
    stream_.avail_out = static_cast<uInt>(window);
    result = inflate(&stream_, Z_NO_FLUSH);
    const size_t produced = window - stream_.avail_out;
    outputFull = stream_.avail_out == 0;
    if (result == Z_MEM_ERROR) throw std::bad_alloc();
    if ((result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) || produced > room) {
      Fail(MessageId::kEntryDamaged, name);
    }
    if (result == Z_BUF_ERROR && stream_.avail_in != 0) Fail(MessageId::kEntryDamaged, name);
    if (produced > 0) sink(out_.data(), produced);
    producedSoFar += produced;
  }
  return static_cast<uint32_t>(producedSoFar);
}

uint32_t EntryDecoder::InflateWhole(ByteSource& source, const EntryFields& fields,
                                    std::string_view name, const ByteSink& sink) {
  if (fields.CSize == 0) Fail(MessageId::kEntryDamaged, name);  // no stream at all
  const size_t stored = static_cast<size_t>(StoredLength(fields.CSize));
  ReadStored(source, fields.DataOffset, stored);
  cipher_.Decrypt(in_.data(), stored);
  if (wholeSize_ < fields.USize || !whole_) {
    whole_.reset();  // the old buffer goes before the new one is made
    // At least doubled, so that growing entries cost few fresh allocations:
    // fresh memory is slow to touch.
    wholeSize_ = std::min<size_t>(std::max<size_t>({fields.USize, 2 * wholeSize_, 64 << 10}),
                                  kWholeEntryLimit);
    whole_ = std::make_unique_for_overwrite<uint8_t[]>(wholeSize_);
  }
  // Only the first CSize bytes are the stream; the zero fill is not.
  const auto produced = fast_.Inflate(in_.data(), fields.CSize, whole_.get(), fields.USize);
  if (!produced) Fail(MessageId::kEntryDamaged, name);
  if (*produced > 0) sink(whole_.get(), *produced);
  return static_cast<uint32_t>(*produced);
}

EntryEncoder::EntryEncoder(const KeyedCipher& cipher) : cipher_(cipher) {}

EntryEncoder::~EntryEncoder() {
  if (initialised_) deflateEnd(&stream_);
}

void EntryEncoder::Begin() {
  const int result =
      initialised_ ? deflateReset(&stream_) : deflateInit(&stream_, Z_DEFAULT_COMPRESSION);
  if (result != Z_OK) FailZlib(result);
  initialised_ = true;
  cSize_ = 0;
  pendingSize_ = 0;
  out_.resize(kPieceSize + 8);
}

void EntryEncoder::Feed(const uint8_t* data, size_t size, const ByteSink& sink) {
  Deflate(data, size, Z_NO_FLUSH, sink);
}

uint64_t EntryEncoder::Finish(const ByteSink& sink) {
  Deflate(nullptr, 0, Z_FINISH, sink);
  // Zero fill up to a whole block, then encipher the last block.
  if (pendingSize_ > 0) {
    std::memset(out_.data() + pendingSize_, 0, 8 - pendingSize_);
    cipher_.Encrypt(out_.data(), 8);
    sink(out_.data(), 8);
    pendingSize_ = 0;
  }
  return cSize_;
}

void EntryEncoder::Deflate(const uint8_t* data, size_t size, int flush, const ByteSink& sink) {
  stream_.next_in = const_cast<uint8_t*>(data);
  stream_.avail_in = static_cast<uInt>(size);
  for (;;) {
    // Output goes behind the bytes of a block that is not yet whole.
    const size_t room = kPieceSize;
    stream_.next_out = out_.data() + pendingSize_;
    stream_.avail_out = static_cast<uInt>(room);
    const int result = deflate(&stream_, flush);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) FailZlib(result);
    const size_t produced = room - stream_.avail_out;
    cSize_ += produced;
    const size_t total = pendingSize_ + produced;
    const size_t whole = total & ~size_t{7};
    if (whole > 0) {
      cipher_.Encrypt(out_.data(), whole);
      sink(out_.data(), whole);
      std::memmove(out_.data(), out_.data() + whole, total - whole);
    }
    pendingSize_ = total - whole;
    if (flush == Z_FINISH ? result == Z_STREAM_END
                          : (stream_.avail_in == 0 && stream_.avail_out != 0)) {
      return;
    }
  }
}

}  // namespace quarlix
