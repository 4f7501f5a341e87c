#include "tavi/update/manifest.hpp"

#include <array>
#include <limits>

#include <fmt/format.h>

namespace tavi {

namespace {

constexpr std::array<JsonField, 4> MANIFEST_FIELDS{
    {{"version", true}, {"notes", false}, {"date", false}, {"assets", true}}};
constexpr std::array<JsonField, 3> ASSET_FIELDS{{{"url", true}, {"sha256", true}, {"size", true}}};

JsonTask<void> read_asset_field(JsonReader& reader, Asset& asset, std::size_t field) {
  if (field == 0) co_return co_await read_json_string_into(reader, asset.url);
  if (field == 1) co_return co_await read_json_string_into(reader, asset.sha256);
  auto size = co_await read_json_unsigned(reader, std::numeric_limits<std::uint64_t>::max(), "u64");
  if (!size) co_return fail(size.error());
  asset.size = *size;
  co_return {};
}

std::optional<std::size_t> match_asset_field(std::string_view key) {
  return match_json_field(ASSET_FIELDS, key);
}

std::optional<std::size_t> match_manifest_field(std::string_view key) {
  return match_json_field(MANIFEST_FIELDS, key);
}

JsonTask<void> read_manifest_field(JsonReader& reader, Manifest& manifest, std::size_t field) {
  switch (field) {
    case 0:
      co_return co_await read_json_string_into(reader, manifest.version);
    case 1:
      co_return co_await read_json_string_into(reader, manifest.notes);
    case 2:
      co_return co_await read_json_string_into(reader, manifest.date);
    default: {
      auto assets = co_await parse_asset_map(reader);
      if (!assets) co_return fail(assets.error());
      manifest.assets = std::move(*assets);
      co_return {};
    }
  }
}

}  // namespace

std::string_view write_asset_expected() { return "struct Asset"; }
std::string_view write_manifest_expected() { return "struct Manifest"; }

JsonTask<std::map<std::string, Asset>> parse_asset_map(JsonReader& reader) {
  auto open = co_await reader.next();
  if (!open) co_return fail(open.error());
  if (open->kind != JsonKind::BeginObject)
    co_return fail(invalid_json_type(reader, *open, "a map"));
  if (auto entered = reader.enter(); !entered) co_return fail(entered.error());

  std::map<std::string, Asset> assets;
  for (;;) {
    auto key = co_await read_json_member_key(reader);
    if (!key) co_return fail(key.error());
    if (!*key) break;
    std::string name(**key);
    auto asset = co_await read_json_record<Asset>(
        reader, {write_asset_expected(), ASSET_FIELDS, match_asset_field}, read_asset_field);
    if (!asset) co_return fail(asset.error());
    assets.insert_or_assign(std::move(name), std::move(*asset));
  }
  reader.leave();
  co_return assets;
}

Result<Manifest> parse_manifest(std::string_view manifest) {
  JsonReader reader(manifest);
  auto result = reader.read(read_json_record<Manifest>(
      reader, {write_manifest_expected(), MANIFEST_FIELDS, match_manifest_field},
      read_manifest_field));
  if (!result) return fail(fmt::format("Manifest pembaruan tidak dikenali: {}", result.error()));
  return result;
}

}  // namespace tavi
