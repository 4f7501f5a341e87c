// Paths derived from other paths by their final name's extension.
#pragma once

#include <string>
#include <string_view>

namespace tavi {

// The path with the extension of its final name replaced by `extension`
// (the extension being what follows the name's last dot, unless that dot is
// the name's first character); a name without one gets "." and `extension`
// appended. Trailing "/" and "." components are not part of the final name.
// A path without a final name ("", "/", ".", or one ending in "..") comes
// back unchanged.
std::string replace_extension(std::string_view path, std::string_view extension);

}  // namespace tavi
