// A process-wide list of named measurements and events, drained by the host
// as JSON. Bounded, so a host that never drains it does not grow the process:
// the newest 4096 records are kept and older ones counted as dropped.
#pragma once

#include <cstdint>
#include <string>

namespace le {
namespace telemetry {

// A measurement or a text event; a null or empty name is ignored. Never fails.
void record(const char* name, double value) noexcept;
void recordText(const char* name, const char* value) noexcept;

// Every record held, as {"dropped": N, "records": [...]}; listedUpTo becomes
// the sequence number after the newest one listed.
std::string pendingJson(uint64_t& listedUpTo);
// Removes the records before listedUpTo; returns how many.
int flush(uint64_t listedUpTo) noexcept;

}  // namespace telemetry
}  // namespace le
