#include <gtest/gtest.h>

#include <cstdlib>

#include "tavi/update/build_settings.hpp"
#include "tavi/update/http.hpp"

namespace tavi {
namespace {

TEST(UpdateBaseUrl, TheVariableAsGivenWithoutTrailingSlashes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"http://127.0.0.1:8080///", "http://127.0.0.1:8080"},
      {"https://mirror.example/tavi/", "https://mirror.example/tavi"},
      {"///", ""},
      {"", ""},
      {" http://127.0.0.1/ ", " http://127.0.0.1/ "},
  };
  for (const auto& [value, base] : cases) {
    ::setenv("TAVI_UPDATE_URL", value.c_str(), 1);
    EXPECT_EQ(update_base_url(), base) << value;
  }
}

TEST(UpdateBaseUrl, TheDefaultWhenUnsetOrNotText) {
  ::unsetenv("TAVI_UPDATE_URL");
  EXPECT_EQ(update_base_url(), DEFAULT_UPDATE_URL);
  ::setenv("TAVI_UPDATE_URL", "http://127.0.0.1/\xff", 1);
  EXPECT_EQ(update_base_url(), DEFAULT_UPDATE_URL);
  EXPECT_FALSE(DEFAULT_UPDATE_URL.ends_with("/"));
}

}  // namespace
}  // namespace tavi
