// The bundle manifest: the key lookups on the raw text, then the loader and
// the drive tables on a bundle directory holding the text as manifest.json
// (its drive tables come with the seeds' three frames).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bundle/le_bundle.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"NT", "crop", "ksize", "P_hevc", "tessera"}) {
    try {
      le::manifest_key::keyHits(text, key);
      le::manifest_key::optionalString(text, key);
      le::manifest_key::scalarValuePos(text, key);
    } catch (const std::runtime_error&) {
    }
  }
  static const std::string dir = [] {
    const std::string d = le_fuzz::scratch() + "/bundle";
    std::filesystem::create_directories(d + "/drive");
    // Three frames of drive tables, all pointing at source frame 0.
    const std::string rows(3 * 63 * sizeof(float), '\0'), si(3 * sizeof(int32_t), '\0');
    le_fuzz::writeFile(d + "/drive/xs.f32", rows.data(), rows.size());
    le_fuzz::writeFile(d + "/drive/xd.f32", rows.data(), rows.size());
    le_fuzz::writeFile(d + "/drive/si.i32", si.data(), si.size());
    return d;
  }();
  le_fuzz::writeFile(dir + "/manifest.json", data, size);
  try {
    const le::Manifest m = le::loadManifest(dir);
    le::loadDrive(m);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
