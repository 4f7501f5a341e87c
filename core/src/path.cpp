#include "tavi/path.hpp"

#include <vector>

namespace tavi {

namespace {

// The root ("/") or a leading "." of a relative path, then every name that
// is neither empty nor ".".
std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  if (path.starts_with('/')) {
    parts.push_back("/");
  } else if (path == "." || path.starts_with("./")) {
    parts.push_back(".");
  }
  while (!path.empty()) {
    const std::size_t end = path.find('/');
    const std::string_view name = path.substr(0, end);
    if (!name.empty() && name != ".") parts.push_back(name);
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return parts;
}

}  // namespace

bool same_path(std::string_view a, std::string_view b) {
  return path_components(a) == path_components(b);
}

std::string replace_extension(std::string_view path, std::string_view extension) {
  // Find the final name, skipping empty and "." components at the end.
  std::size_t end = path.size();
  for (;;) {
    while (end > 0 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    const std::size_t begin = (slash == std::string_view::npos || end == 0) ? 0 : slash + 1;
    const std::string_view name = path.substr(begin, end - begin);
    if (name == "." && begin > 0) {
      end = begin;
      continue;
    }
    if (name.empty() || name == "." || name == "..") return std::string(path);

    const std::size_t dot = name.rfind('.');
    const std::size_t stem_end = (dot == std::string_view::npos || dot == 0) ? end : begin + dot;
    std::string result(path.substr(0, stem_end));
    result += '.';
    result += extension;
    return result;
  }
}

std::optional<std::string> containing_folder(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;  // "a/b/" names b
  if (end == 0) return std::nullopt;
  const std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string_view::npos) return std::nullopt;
  std::size_t folder_end = slash;
  while (folder_end > 0 && path[folder_end - 1] == '/') --folder_end;
  return std::string(path.substr(0, folder_end == 0 ? 1 : folder_end));
}

}  // namespace tavi
