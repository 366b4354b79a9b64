// C interface of the teeth-borrow members. Nothing escapes: failures come
// back as NULL or 1 with the message copied into the caller's buffer.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "base/le_guard.h"
#include "le/le.h"
#include "tessera/le_bundle_tessera.h"

struct le_tessera_carriage {
  le::TesseraCarriage carriage;
  std::string scratch;  // le_tessera_carriage_path's answer
};

struct le_tessera_members {
  le::TesseraAttachInputs in;
  int32_t stamp[le::GeometryStamp::kFields] = {};
};

namespace {

// A carriage of a bundle that could not be examined: default names, every
// member missing, nothing declared.
le::TesseraCarriage unexaminedCarriage() {
  le::TesseraCarriage c;
  for (const le::TesseraSlot& s : le::tesseraSlotKeys()) c.missing.push_back(s.key);
  c.complete = false;
  c.declared = false;
  return c;
}

// The bundle's carriage; one that cannot be examined reads as a bundle with
// every member missing. Only running out of memory fails.
le::TesseraCarriage examine(const char* bundleDir) {
  try {
    return le::tesseraCarriage(bundleDir);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return unexaminedCarriage();
  }
}

void ignore(const std::exception*) {}

// Copies a failure into the caller's buffer: the exception's own text, which
// names its source, or "<fn>: out of memory" / "<fn>: unknown failure".
auto reportTo(char* err, int errLen, const char* fn) {
  return [=](const std::exception* e) {
    if (e && !dynamic_cast<const std::bad_alloc*>(e))
      le::capi::copyMessage(err, errLen, e->what());
    else
      le::capi::copyMessage(err, errLen,
                            std::string(fn) + (e ? ": out of memory" : ": unknown failure"));
  };
}

template <class T>
const T* dataOrNull(const std::vector<T>& v) {
  return v.empty() ? nullptr : v.data();
}

}  // namespace

using le::capi::guardWith;

extern "C" {

int le_tessera_slot_count(void) {
  return le::tesseraSlotCount();
}

const char* le_tessera_slot_key(int index) {
  if (index < 0 || index >= le::tesseraSlotCount()) return nullptr;
  return le::tesseraSlotKeys()[size_t(index)].key;
}

le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  return guardWith(nullptr, ignore, [&] {
    auto h = std::make_unique<le_tessera_carriage>();
    h->carriage = examine(bundle_dir);
    return h.release();
  });
}

void le_tessera_carriage_close(le_tessera_carriage* c) {
  delete c;
}

int le_tessera_carriage_complete(const le_tessera_carriage* c) {
  return c && c->carriage.complete ? 1 : 0;
}

int le_tessera_carriage_declared(const le_tessera_carriage* c) {
  return c && c->carriage.declared ? 1 : 0;
}

const char* le_tessera_carriage_path(le_tessera_carriage* c, const char* slot) {
  if (!c || !slot) return "";
  guardWith([&](const std::exception*) { c->scratch.clear(); },
            [&] { c->scratch = c->carriage.path(slot); });
  return c->scratch.c_str();
}

int le_tessera_carriage_missing_count(const le_tessera_carriage* c) {
  return c ? int(c->carriage.missing.size()) : 0;
}

const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int index) {
  if (!c || index < 0 || size_t(index) >= c->carriage.missing.size()) return nullptr;
  return c->carriage.missing[size_t(index)].c_str();
}

le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len) {
  le::capi::copyMessage(err, err_len, "");
  if (!bundle_dir) {
    le::capi::copyMessage(err, err_len, "le_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  return guardWith(nullptr, reportTo(err, err_len, "le_tessera_members_open"),
                   [&]() -> le_tessera_members* {
                     auto h = std::make_unique<le_tessera_members>();
                     h->in = le::loadTesseraMembers(bundle_dir);
                     for (int i = 0; i < le::GeometryStamp::kFields; ++i)
                       h->stamp[i] = h->in.stamp.at(i);
                     return h.release();
                   });
}

void le_tessera_members_close(le_tessera_members* m) {
  delete m;
}

int le_tessera_members_n_donors(const le_tessera_members* m) {
  return m ? m->in.n_donors : 0;
}

const double* le_tessera_members_cent(const le_tessera_members* m) {
  return m ? dataOrNull(m->in.cent) : nullptr;
}

const double* le_tessera_members_c_canon(const le_tessera_members* m) {
  return m ? m->in.c_canon.data() : nullptr;
}

const double* le_tessera_members_aperture(const le_tessera_members* m) {
  return m ? dataOrNull(m->in.aperture) : nullptr;
}

const int32_t* le_tessera_members_stamp(const le_tessera_members* m) {
  return m ? m->stamp : nullptr;
}

const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m) {
  return m ? dataOrNull(m->in.head_pt) : nullptr;
}

int64_t le_tessera_members_head_pt_len(const le_tessera_members* m) {
  return m ? int64_t(m->in.head_pt.size()) : 0;
}

const char* le_tessera_members_head_json(const le_tessera_members* m) {
  return m ? m->in.head_json.c_str() : "";
}

const char* le_tessera_members_manifest_json(const le_tessera_members* m) {
  return m ? m->in.manifest_json.c_str() : "";
}

const char* le_tessera_members_bank_track_path(const le_tessera_members* m) {
  return m ? m->in.bank_track_path.c_str() : "";
}

const char* le_tessera_members_bank_container(const le_tessera_members* m) {
  return m ? m->in.bank_container.c_str() : "";
}

const char* le_tessera_members_bank_codec(const le_tessera_members* m) {
  return m ? m->in.bank_codec.c_str() : "";
}

const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m) {
  return m ? m->in.bank_pix_fmt.c_str() : "";
}

const char* le_tessera_members_bank_packing(const le_tessera_members* m) {
  return m ? m->in.bank_packing.c_str() : "";
}

int le_tessera_members_band_w(const le_tessera_members* m) {
  return m ? m->in.band_w : 0;
}

int le_tessera_members_band_h(const le_tessera_members* m) {
  return m ? m->in.band_h : 0;
}

int64_t le_tessera_members_band_bytes(const le_tessera_members* m) {
  return m ? int64_t(m->in.bandBytes()) : 0;
}

int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* track, uint8_t* donor,
                               char* err, int err_len) {
  le::capi::copyMessage(err, err_len, "");
  if (!m || !track || !donor) {
    le::capi::copyMessage(err, err_len, "le_tessera_members_reorder: null argument");
    return 1;
  }
  return guardWith(1, reportTo(err, err_len, "le_tessera_members_reorder"), [&] {
    le::reorderTrackToDonor(m->in, track, donor);
    return 0;
  });
}

}  // extern "C"
