// The tessera JSON reader: the parser itself, the head member's settings,
// and the bank sidecar as the members loader reads it from a bundle.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    le::tessera::json::parseDocument(text, "fuzz.json");
  } catch (const std::runtime_error&) {
  }
  try {
    le::ServeConfig::fromHeadMemberJson(text);
  } catch (const std::runtime_error&) {
  }
  static const std::string dir = [] {
    const std::string d = le_fuzz::scratch() + "/bundle";
    std::filesystem::create_directories(d);
    const std::string manifest = R"({"format": "le-bundle-v0", "agent": "fuzz"})";
    const std::string head =
        R"({"retrieval": {"kshort": 24, "aperture_tol": 0.35, "cut": 8, "K": 4}})";
    le_fuzz::writeFile(d + "/manifest.json", manifest.data(), manifest.size());
    le_fuzz::writeFile(d + "/tessera_head.v1.json", head.data(), head.size());
    le_fuzz::writeFile(d + "/tessera_head.v1.pt", "pt", 2);
    le_fuzz::writeFile(d + "/tessera_bank.v1.mp4", "track", 5);
    return d;
  }();
  le_fuzz::writeFile(dir + "/tessera_bank.v1.json", data, size);
  try {
    le::loadTesseraMembers(dir);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
