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
inline constexpr std::string_view LOCK_EXTENSION = "lock";

struct StagedPaths {
  std::string download;  // the verified new executable, between the two renames
  std::string part;      // receives the download
  std::string lock;      // locked by one run at a time; kept between runs
};

// The staged paths of `executable`, or "Path helper tidak didukung untuk
// pembaruan: {}" when one of them would be the executable itself (its
// extension already names one, in any letter case, as a case-insensitive file
// system would see it) or the path has no file name.
Result<StagedPaths> staged_paths(const std::string& executable);

// Takes the exclusive lock on the file at `lock_path`, created when missing
// with mode 0600 so that no other user can open it, let alone hold its lock;
// a file already there is first made the running user's and 0600 in place,
// where it is a plain file with no other name.
// The file is kept: removing it would let the next run lock a new file while
// another still holds the old one. The lock lasts as long as the descriptor.
// "Pembaruan lain sedang berjalan." when another run holds it, "Gagal membuat
// file: {}" with the system's text when the file cannot be opened, made
// private or locked for any other reason (a link or a folder in its place,
// something else to be made private than a plain file with one name, no right
// to create it or to take it over): a run that cannot lock must not stage
// anything.
Result<Fd> lock_update(const std::string& lock_path);

}  // namespace tavi
