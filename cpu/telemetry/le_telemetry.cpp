#include "telemetry/le_telemetry.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "base/le_guard.h"

namespace {

constexpr size_t kMaxRecords = 4096;

struct Record {
  uint64_t seq;
  double tMs;
  std::string name;
  bool isText;
  double value;
  std::string text;
};

struct Telemetry {
  std::mutex mu;
  std::deque<Record> records;
  uint64_t nextSeq = 0;
  uint64_t dropped = 0;
  std::chrono::steady_clock::time_point origin;
  bool started = false;
};

Telemetry& tel() {
  static Telemetry* t = new Telemetry;  // never destroyed: records may come from exiting threads
  return *t;
}

void add(const char* name, bool isText, double value, const char* text) {
  if (!name || !*name) return;
  // Telemetry never fails the caller.
  le::capi::guardWith(
      [](const std::exception*) {},
      [&] {
        Telemetry& t = tel();
        std::lock_guard<std::mutex> lk(t.mu);
        const auto now = std::chrono::steady_clock::now();
        if (!t.started) {
          t.origin = now;
          t.started = true;
        }
        if (t.records.size() >= kMaxRecords) {
          t.records.pop_front();
          ++t.dropped;
        }
        t.records.push_back(
            Record{t.nextSeq++, std::chrono::duration<double, std::milli>(now - t.origin).count(),
                   name, isText, value, text ? text : ""});
      });
}

void appendJsonString(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  out += '"';
}

void appendNumber(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";  // JSON has no NaN or infinity
    return;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  out += buf;
}

}  // namespace

namespace le {
namespace telemetry {

void record(const char* name, double value) noexcept {
  add(name, false, value, nullptr);
}

void recordText(const char* name, const char* value) noexcept {
  add(name, true, 0, value ? value : "");
}

std::string pendingJson(uint64_t& listedUpTo) {
  Telemetry& t = tel();
  std::string out;
  std::lock_guard<std::mutex> lk(t.mu);
  out = "{\"dropped\": " + std::to_string(t.dropped) + ", \"records\": [";
  for (size_t i = 0; i < t.records.size(); ++i) {
    const Record& r = t.records[i];
    out += i ? ", {\"seq\": " : "{\"seq\": ";
    out += std::to_string(r.seq);
    out += ", \"t_ms\": ";
    appendNumber(out, r.tMs);
    out += ", \"name\": ";
    appendJsonString(out, r.name);
    out += ", \"value\": ";
    if (r.isText)
      appendJsonString(out, r.text);
    else
      appendNumber(out, r.value);
    out += '}';
  }
  out += "]}";
  listedUpTo = t.records.empty() ? t.nextSeq : t.records.back().seq + 1;
  return out;
}

int flush(uint64_t listedUpTo) noexcept {
  Telemetry& t = tel();
  std::lock_guard<std::mutex> lk(t.mu);
  int n = 0;
  while (!t.records.empty() && t.records.front().seq < listedUpTo) {
    t.records.pop_front();
    ++n;
  }
  return n;
}

}  // namespace telemetry
}  // namespace le
