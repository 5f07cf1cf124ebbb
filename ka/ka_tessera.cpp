// The ka_tessera_ family: a bundle's teeth members, for hosts and tools that inspect
// them without a session. Errors go into the caller's buffer, never a thread-local.
#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "ka/c_error.h"
#include "ka/ka.h"
#include "tessera/attach_inputs.h"
#include "tessera/carriage.h"

struct ka_tessera_carriage {
  ka::tessera::TesseraCarriage c;
  std::string path;  // the text ka_tessera_carriage_path hands out
};

struct ka_tessera_members {
  ka::tessera::TesseraAttachInputs in;
};

namespace {

void putErr(char* err, int cap, const char* msg) noexcept { ka::capi::putCallerError(err, cap, msg); }

const char* str(const ka_tessera_members* m, std::string ka::tessera::TesseraAttachInputs::*f) {
  return m ? (m->in.*f).c_str() : "";
}

}  // namespace

extern "C" {

int ka_tessera_slot_count(void) { return ka::tessera::tesseraSlotCount(); }

const char* ka_tessera_slot_key(int index) {
  if (index < 0 || index >= ka::tessera::tesseraSlotCount()) return nullptr;
  return ka::tessera::tesseraSlotKeys()[size_t(index)].c_str();
}

ka_tessera_carriage* ka_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  try {
    return new ka_tessera_carriage{ka::tessera::tesseraCarriage(bundle_dir), {}};
  } catch (...) {
    return nullptr;
  }
}

void ka_tessera_carriage_close(ka_tessera_carriage* c) { delete c; }

int ka_tessera_carriage_complete(const ka_tessera_carriage* c) { return c && c->c.complete ? 1 : 0; }
int ka_tessera_carriage_declared(const ka_tessera_carriage* c) { return c && c->c.declared ? 1 : 0; }

const char* ka_tessera_carriage_path(ka_tessera_carriage* c, const char* slot_key) {
  if (!c || !slot_key) return "";
  try {
    c->path = c->c.path(slot_key);
    return c->path.c_str();
  } catch (...) {
    return "";
  }
}

int ka_tessera_carriage_missing_count(const ka_tessera_carriage* c) {
  return c ? static_cast<int>(c->c.missing.size()) : 0;
}

const char* ka_tessera_carriage_missing(const ka_tessera_carriage* c, int i) {
  if (!c || i < 0 || size_t(i) >= c->c.missing.size()) return nullptr;
  return c->c.missing[size_t(i)].c_str();
}

ka_tessera_members* ka_tessera_members_open(const char* bundle_dir, char* err, int err_cap) {
  if (!bundle_dir) {
    putErr(err, err_cap, "ka_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  try {
    return new ka_tessera_members{ka::tessera::loadTesseraMembers(bundle_dir)};
  } catch (const std::bad_alloc&) {
    putErr(err, err_cap, "ka_tessera_members_open: out of memory");
  } catch (const std::exception& e) {
    putErr(err, err_cap, e.what());
  } catch (...) {
    putErr(err, err_cap, "ka_tessera_members_open: unknown failure");
  }
  return nullptr;
}

void ka_tessera_members_close(ka_tessera_members* m) { delete m; }

int32_t ka_tessera_members_n_donors(const ka_tessera_members* m) { return m ? m->in.n_donors : 0; }
int32_t ka_tessera_members_band_w(const ka_tessera_members* m) { return m ? m->in.band_w : 0; }
int32_t ka_tessera_members_band_h(const ka_tessera_members* m) { return m ? m->in.band_h : 0; }
int64_t ka_tessera_members_band_bytes(const ka_tessera_members* m) { return m ? m->in.bankBytes() : 0; }

const double* ka_tessera_members_cent(const ka_tessera_members* m) {
  return m && !m->in.cent.empty() ? m->in.cent.data() : nullptr;
}
const double* ka_tessera_members_aperture(const ka_tessera_members* m) {
  return m && !m->in.aperture.empty() ? m->in.aperture.data() : nullptr;
}
const double* ka_tessera_members_c_canon(const ka_tessera_members* m) { return m ? m->in.c_canon : nullptr; }
const int32_t* ka_tessera_members_stamp(const ka_tessera_members* m) { return m ? m->in.stamp : nullptr; }

const uint8_t* ka_tessera_members_head_pt(const ka_tessera_members* m) {
  return m && !m->in.head_pt.empty() ? m->in.head_pt.data() : nullptr;
}
int ka_tessera_members_head_pt_len(const ka_tessera_members* m) {
  return m ? static_cast<int>(m->in.head_pt.size()) : 0;
}

using Inputs = ka::tessera::TesseraAttachInputs;
const char* ka_tessera_members_head_json(const ka_tessera_members* m) { return str(m, &Inputs::head_json); }
const char* ka_tessera_members_manifest_json(const ka_tessera_members* m) { return str(m, &Inputs::manifest_json); }
const char* ka_tessera_members_bank_track_path(const ka_tessera_members* m) { return str(m, &Inputs::bank_track_path); }
const char* ka_tessera_members_bank_container(const ka_tessera_members* m) { return str(m, &Inputs::bank_container); }
const char* ka_tessera_members_bank_codec(const ka_tessera_members* m) { return str(m, &Inputs::bank_codec); }
const char* ka_tessera_members_bank_pix_fmt(const ka_tessera_members* m) { return str(m, &Inputs::bank_pix_fmt); }
const char* ka_tessera_members_bank_packing(const ka_tessera_members* m) { return str(m, &Inputs::bank_packing); }

int ka_tessera_members_reorder(const ka_tessera_members* m, const uint8_t* track, uint8_t* out,
                               char* err, int err_cap) {
  if (!m || !track || !out) {
    putErr(err, err_cap, "ka_tessera_members_reorder: null argument");
    return 1;
  }
  try {
    ka::tessera::reorderTrackToDonor(m->in, track, out);
    return 0;
  } catch (const std::exception& e) {
    putErr(err, err_cap, e.what());
  } catch (...) {
    putErr(err, err_cap, "ka_tessera_members_reorder: unknown failure");
  }
  return 1;
}

}  // extern "C"
