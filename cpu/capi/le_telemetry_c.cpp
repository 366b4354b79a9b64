// Telemetry's C interface. The JSON text returned belongs to the calling
// thread, and a flush removes only what that thread's last listing showed.
#include <cstdint>
#include <exception>
#include <string>

#include "base/le_guard.h"
#include "le/le.h"
#include "telemetry/le_telemetry.h"

namespace {

thread_local std::string tJson;
thread_local uint64_t tListedUpTo = 0;  // seq + 1 of the newest record listed
thread_local bool tListed = false;

}  // namespace

extern "C" {

void le_tel_record(const char* name, double value) {
  le::telemetry::record(name, value);
}

void le_tel_record_str(const char* name, const char* value) {
  le::telemetry::recordText(name, value);
}

const char* le_tel_pending_json(void) {
  auto failed = [](const std::exception*) {
    tJson = "{\"dropped\": 0, \"records\": []}";
    tListed = false;
  };
  le::capi::guardWith(failed, [] {
    std::string out = le::telemetry::pendingJson(tListedUpTo);
    tListed = true;
    tJson.swap(out);
  });
  return tJson.c_str();
}

int le_tel_flush(void) {
  if (!tListed) return 0;
  tListed = false;
  return le::telemetry::flush(tListedUpTo);
}

}  // extern "C"
