// Where an extracted entry may be written. Stored names come from the archive
// and may be hostile: a name that climbs out with ".." is refused, and a name
// that starts at a root lands below the current directory instead, as tar does.
#pragma once

#include <string>
#include <string_view>

namespace quarlix {

// Whether any component of name is "..", with components split at '/' and at
// '\' whatever the host.
bool HasParentComponent(std::string_view name);

// name without its leading separators and drive prefixes ("/etc/x", "\\x" and
// "C:/x" give "etc/x", "x" and "x").
std::string_view StripRoot(std::string_view name);

// Creates every missing directory named by a prefix of path that ends before a
// '/'. Only '/' separates. Failures show when the file itself is created.
void MakeParentDirectories(const std::string& path);

}  // namespace quarlix
