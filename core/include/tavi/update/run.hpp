// One complete self-update of an executable file: the signed manifest, the
// version decision, the verified download and the two renames.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tavi/os_error.hpp"
#include "tavi/result.hpp"

namespace tavi {

inline constexpr std::uint64_t MANIFEST_MAX_BYTES = 1048576;
inline constexpr std::uint64_t SIGNATURE_MAX_BYTES = 4096;
inline constexpr std::uint64_t ASSET_MAX_BYTES = 314572800;  // 300 MiB
inline constexpr mode_t NEW_EXECUTABLE_MODE = 0755;
// The helper is built for Apple silicon only.
inline constexpr std::string_view ASSET_KEY = "darwin-aarch64-helper";

// Replaces the file at `executable` (used as given: not made canonical, a
// symbolic link is itself replaced) with the latest release when that is newer
// than HELPER_VERSION. Gives the release's version text as the manifest holds
// it, nothing when the release is not newer, or the message of the first step
// that failed. Prints nothing and restarts nothing.
Result<std::optional<std::string>> run_update(const std::string& executable);

// The outcome of moving the finished part file to the download path.
Result<void> save_error_message(const OsResult<void>& renamed);

}  // namespace tavi
