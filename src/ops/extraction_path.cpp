#include "ops/extraction_path.h"

#include "fs/platform.h"

namespace quarlix {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool HasParentComponent(std::string_view name) {
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsSeparator(name[end])) ++end;
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

std::string_view StripRoot(std::string_view name) {
  for (;;) {
    if (!name.empty() && IsSeparator(name.front())) {
      name.remove_prefix(1);
    } else if (name.size() >= 2 && IsDriveLetter(name[0]) && name[1] == ':') {
      name.remove_prefix(2);
    } else {
      return name;
    }
  }
}

void MakeParentDirectories(const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && !platform::PathExists(prefix)) platform::MakeDirectory(prefix);
  }
}

}  // namespace quarlix
