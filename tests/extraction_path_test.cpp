#include "ops/extraction_path.h"

#include <gtest/gtest.h>

namespace quarlix {
namespace {

TEST(ExtractionPathTest, ParentComponents) {
  const std::pair<const char*, bool> cases[] = {
      {"a/b.txt", false}, {"..", true},      {"../x", true},     {"a/../b", true},
      {"a/..", true},     {"..\\x", true},   {"a\\..\\b", true}, {"a/..b", false},
      {"a/b..", false},   {"...", false},    {".", false},       {"./a", false},
      {"", false},        {"/../etc", true}, {"C:..\\x", false},
  };
  for (const auto& [name, unsafe] : cases) EXPECT_EQ(HasParentComponent(name), unsafe) << name;
}

TEST(ExtractionPathTest, RootsAndDrivesAreDropped) {
  const std::pair<const char*, const char*> cases[] = {
      {"a/b", "a/b"},   {"/etc/x", "etc/x"}, {"//server/share", "server/share"},
      {"\\x", "x"},     {"C:/x", "x"},       {"c:\\x", "x"},
      {"C:x", "x"},     {"/", ""},           {"1:x", "1:x"},
      {"a:b/c", "b/c"}, {"/C:/x", "x"},
  };
  for (const auto& [name, stripped] : cases) EXPECT_EQ(StripRoot(name), stripped) << name;
}

}  // namespace
}  // namespace quarlix
