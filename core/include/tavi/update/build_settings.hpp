// Values fixed when the program is built (CMake cache variables
// TAVI_UPDATE_PUBLIC_KEY and TAVI_DEFAULT_UPDATE_URL), so a distributor can
// build for their own release server.
#pragma once

#include <string_view>

namespace tavi {

// The release signer's Ed25519 public key as standard base64 (44 characters).
extern const std::string_view UPDATE_PUBLIC_KEY;
// The update base URL used when TAVI_UPDATE_URL is not usable.
extern const std::string_view DEFAULT_UPDATE_URL;

}  // namespace tavi
