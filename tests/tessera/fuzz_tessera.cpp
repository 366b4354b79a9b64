// libFuzzer targets for the two readers that take bytes straight from a
// bundle: the head checkpoint reader and the tessera JSON reader. Not part
// of the test suite; build one with clang from the checkout root, the rest
// of the engine coming from an ordinary build in build/:
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. -Icpu \
//     -DLE_FUZZ_HEAD_PT tests/tessera/fuzz_tessera.cpp cpu/tessera/le_tessera.cpp \
//     cpu/tessera/le_bundle_tessera.cpp -Lbuild -lvever_core -Wl,-rpath,build -o fuzz_head_pt
//
// and the same with -DLE_FUZZ_JSON into fuzz_json. Seed the head target with
// the checkpoints make_head_pt.py writes. Either reader may refuse its input
// with a runtime error; anything else (a crash, a sanitizer report, another
// exception, a runaway allocation) is a finding.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"

#if defined(LE_FUZZ_HEAD_PT) == defined(LE_FUZZ_JSON)
#error "define exactly one of LE_FUZZ_HEAD_PT and LE_FUZZ_JSON"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
#ifdef LE_FUZZ_HEAD_PT
    le::tessera::loadHeadPt(data, size);
#else
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const le::tessera::json::JVal v = le::tessera::json::parseDocument(text, "fuzz.json");
    if (v.isObject()) le::ServeConfig::fromHeadMemberJson(std::string(text));
#endif
  } catch (const std::runtime_error&) {
  }
  return 0;
}
