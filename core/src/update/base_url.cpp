#include <cstdlib>

#include "tavi/text.hpp"
#include "tavi/update/build_settings.hpp"
#include "tavi/update/http.hpp"

namespace tavi {

std::string update_base_url() {
  const char* value = std::getenv("TAVI_UPDATE_URL");
  // Used as given, even when empty; only a value that is not text falls back.
  std::string base = value != nullptr && is_valid_utf8(value) ? std::string(value)
                                                              : std::string(DEFAULT_UPDATE_URL);
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

}  // namespace tavi
