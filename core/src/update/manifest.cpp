#include "tavi/update/manifest.hpp"

#include <array>
#include <limits>

#include <fmt/format.h>

namespace tavi {

namespace {

constexpr std::array<JsonField, 4> MANIFEST_FIELDS{
    {{"version", true}, {"notes", false}, {"date", false}, {"assets", true}}};
constexpr std::array<JsonField, 3> ASSET_FIELDS{{{"url", true}, {"sha256", true}, {"size", true}}};

Result<Asset> read_asset(JsonReader& reader) {
  Asset asset;
  auto ok = read_json_record(
      reader, write_asset_expected(), ASSET_FIELDS,
      [](std::string_view key) { return match_json_field(ASSET_FIELDS, key); },
      [&](std::size_t field) -> Result<void> {
        if (field == 0) return read_json_string_into(reader, asset.url);
        if (field == 1) return read_json_string_into(reader, asset.sha256);
        auto size = read_json_unsigned(reader, std::numeric_limits<std::uint64_t>::max(), "u64");
        if (!size) return fail(size.error());
        asset.size = *size;
        return {};
      });
  if (!ok) return fail(ok.error());
  return asset;
}

}  // namespace

std::string_view write_asset_expected() { return "struct Asset"; }
std::string_view write_manifest_expected() { return "struct Manifest"; }

Result<std::map<std::string, Asset>> parse_asset_map(JsonReader& reader) {
  auto open = reader.next();
  if (!open) return fail(open.error());
  if (open->kind != JsonKind::BeginObject) return fail(invalid_json_type(reader, *open, "a map"));
  if (auto entered = reader.enter(); !entered) return fail(entered.error());

  std::map<std::string, Asset> assets;
  for (;;) {
    auto key = read_json_member_key(reader);
    if (!key) return fail(key.error());
    if (!*key) break;
    std::string name(**key);
    auto asset = read_asset(reader);
    if (!asset) return fail(asset.error());
    assets.insert_or_assign(std::move(name), std::move(*asset));
  }
  reader.leave();
  return assets;
}

Result<Manifest> parse_manifest(std::string_view manifest) {
  Manifest result;
  JsonReader reader(manifest);
  auto ok = read_json_record(
      reader, write_manifest_expected(), MANIFEST_FIELDS,
      [](std::string_view key) { return match_json_field(MANIFEST_FIELDS, key); },
      [&](std::size_t field) -> Result<void> {
        switch (field) {
          case 0:
            return read_json_string_into(reader, result.version);
          case 1:
            return read_json_string_into(reader, result.notes);
          case 2:
            return read_json_string_into(reader, result.date);
          default: {
            auto assets = parse_asset_map(reader);
            if (!assets) return fail(assets.error());
            result.assets = std::move(*assets);
            return {};
          }
        }
      });
  if (ok) ok = reader.finish();
  if (!ok) return fail(fmt::format("Manifest pembaruan tidak dikenali: {}", ok.error()));
  return result;
}

}  // namespace tavi
