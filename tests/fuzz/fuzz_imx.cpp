// The IMX container unwrap, in a private unwrap root: the input is the
// container file; every run starts from an empty unwrap directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bundle/le_imx.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = [] {
    const std::string r = le_fuzz::scratch() + "/unwrap";
    std::filesystem::create_directories(r);
    ::setenv("LE_IMX_UNWRAP_ROOT", r.c_str(), 1);
    return r;
  }();
  const std::string container = le_fuzz::scratch() + "/bundle.imx";
  le_fuzz::writeFile(container, data, size);
  try {
    const std::string dir = le::resolveBundlePath(container);
    // Whatever was unwrapped stays inside the unwrap root.
    if (dir != container && dir.rfind(root + "/", 0) != 0)
      le_fuzz::broken("unwrapped outside the root");
  } catch (const std::runtime_error&) {
  }
  // Nothing may land beside the container either.
  for (const auto& e : std::filesystem::directory_iterator(le_fuzz::scratch()))
    if (e.path() != container && e.path() != root) le_fuzz::broken("wrote outside the unwrap root");
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  std::filesystem::create_directories(root, ec);
  return 0;
}
