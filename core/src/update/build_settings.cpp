// Compiled on its own with the values as compile definitions, so that another
// program can be linked with a copy carrying other values.
#include "tavi/update/build_settings.hpp"

#if !defined(TAVI_UPDATE_PUBLIC_KEY_TEXT) || !defined(TAVI_DEFAULT_UPDATE_URL_TEXT)
#error "build_settings.cpp is compiled through tavi_add_build_settings() only"
#endif

namespace tavi {

const std::string_view UPDATE_PUBLIC_KEY = TAVI_UPDATE_PUBLIC_KEY_TEXT;
const std::string_view DEFAULT_UPDATE_URL = TAVI_DEFAULT_UPDATE_URL_TEXT;

}  // namespace tavi
