// Random-access input for the reader: an archive on disk, or bytes in memory
// (the fuzzer reads archives that way).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fs/platform.h"

namespace quarlix {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to size bytes at offset; fewer means the end was reached or, if
  // HadError() says so, the read failed.
  virtual size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t size) = 0;
  virtual bool HadError() const = 0;
};

class FileSource final : public ByteSource {
 public:
  FileSource(platform::File& file, uint64_t size) : file_(file), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t size) override {
    return file_.ReadAt(offset, buffer, size);
  }
  bool HadError() const override { return file_.HadError(); }

 private:
  platform::File& file_;
  uint64_t size_;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t offset, uint8_t* buffer, size_t size) override;
  bool HadError() const override { return false; }

 private:
  std::span<const uint8_t> bytes_;
};

// Ends a failed read of the archive: "Unexpected end of file!" when the end was
// reached, "Error reading file!" when the read itself failed.
[[noreturn]] void FailRead(const ByteSource& source);

}  // namespace quarlix
