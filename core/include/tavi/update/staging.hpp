// The files an update stages beside the executable it replaces, and the lock
// that keeps two update runs for one executable from sharing them.
#pragma once

#include <string>
#include <string_view>

#include "tavi/fd.hpp"
#include "tavi/result.hpp"

namespace tavi {

inline constexpr std::string_view DOWNLOAD_EXTENSION = "download";
inline constexpr std::string_view PART_EXTENSION = "part";

struct StagedPaths {
  std::string download;  // the verified new executable, between the two renames
  std::string part;      // receives the download
  std::string folder;    // holds the executable and both; locked by one run at a time
};

// The staged paths of `executable`, or "Path helper tidak didukung untuk
// pembaruan: {}" when one of them would be the executable itself (its
// extension already names one, in any letter case, as a case-insensitive file
// system would see it) or the path has no file name.
Result<StagedPaths> staged_paths(const std::string& executable);

// Takes the exclusive lock on `folder` itself, which exists anyway, so the
// lock leaves no file behind; it lasts as long as the descriptor. "Pembaruan
// lain sedang berjalan." when another run holds it, "Gagal membuat file: {}"
// when the folder cannot be opened (it is missing, say). An empty descriptor
// when we may not open it: then the part file's own open says what the folder
// allows.
Result<Fd> lock_update(const std::string& folder);

}  // namespace tavi
