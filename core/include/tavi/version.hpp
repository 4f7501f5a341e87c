#pragma once

#include <string_view>

namespace tavi {

inline constexpr std::string_view HELPER_VERSION = "0.3.0";

}  // namespace tavi
