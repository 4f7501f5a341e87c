// Path texts compared, and derived from other paths by their final name's
// extension. Pure text work: nothing on disk is looked at, no link followed.
#pragma once

#include <optional>
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

// True when both paths have the same root and the same names in order.
// Doubled separators, a final separator and "." components make no
// difference, except a "." at the very start of a relative path ("./a" is not
// "a"); letter case does, and ".." is kept as a name, not folded.
bool same_path(std::string_view a, std::string_view b);

// The path without its last component ("a/b/" names b, so gives "a"); nothing
// when there is no folder to make: an empty path, "/" or a bare file name.
std::optional<std::string> containing_folder(std::string_view path);

}  // namespace tavi
