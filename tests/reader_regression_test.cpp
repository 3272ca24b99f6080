// Inputs that once broke the reader (tests/regressions, see its README) are
// each read again the ways the fuzzer reads them: listed, and decoded with each
// key. Every one must end in a FatalError or be read to the end; std::bad_alloc
// or any other exception is the old fault come back. Run under the sanitizer
// build, a memory or undefined-behaviour fault fails the test too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive_keys.h"
#include "archive/byte_source.h"
#include "cli/console.h"
#include "cli/messages.h"
#include "ops/read_archive.h"

namespace quarlix {
namespace {

std::vector<std::filesystem::path> RegressionInputs() {
  std::vector<std::filesystem::path> inputs;
  for (const auto& item : std::filesystem::directory_iterator(QUARLIX_REGRESSIONS_DIR)) {
    if (item.is_regular_file() && item.path().extension() != ".md") inputs.push_back(item.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

std::vector<uint8_t> ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A refusal is a correct outcome; anything else escapes to the test.
void ReadOrRefuse(const std::vector<uint8_t>& bytes, const ArchiveKey& key, ReadMode mode) {
  MemorySource source(bytes);
  Console console(nullptr);
  try {
    ReadArchive(source, "regression", key, mode, console);
  } catch (const FatalError&) {
  }
}

class ReaderRegressionTest : public testing::TestWithParam<std::filesystem::path> {};

TEST_P(ReaderRegressionTest, IsReadOrRefused) {
  const std::vector<uint8_t> bytes = ReadWhole(GetParam());
  ASSERT_FALSE(bytes.empty()) << "cannot read " << GetParam();
  struct Pass {
    const char* what;
    const ArchiveKey& key;
    ReadMode mode;
  };
  const Pass passes[] = {
      {"list", FullKey, ReadMode::kList},
      {"decode with FullKey", FullKey, ReadMode::kDecodeOnly},
      {"decode with DemoKey", DemoKey, ReadMode::kDecodeOnly},
  };
  for (const Pass& pass : passes) {
    SCOPED_TRACE(pass.what);
    EXPECT_NO_THROW(ReadOrRefuse(bytes, pass.key, pass.mode));
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, ReaderRegressionTest, testing::ValuesIn(RegressionInputs()),
                         [](const testing::TestParamInfo<std::filesystem::path>& info) {
                           std::string name = info.param.filename().string();
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace quarlix
