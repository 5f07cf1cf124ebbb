#include "tessera/carriage.h"

#include "bundle/bundle_path.h"
#include "bundle/file_io.h"
#include "bundle/member.h"
#include "tessera/json.h"

namespace ka::tessera {

const std::vector<std::string>& tesseraSlotKeys() {
  static const std::vector<std::string> k = {"bank_track", "bank_sidecar", "head_weights",
                                             "head_config"};
  return k;
}

int tesseraSlotCount() { return 4; }

TesseraSlots::TesseraSlots()
    : names{"tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt",
            "tessera_head.v1.json"} {}

const std::string& TesseraCarriage::path(const std::string& slot_key) const {
  const auto& keys = tesseraSlotKeys();
  for (size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == slot_key) return paths.at(i);
  throw std::runtime_error("teeth: no such member slot '" + slot_key + "'");
}

std::string findTesseraManifest(const std::string& dir) {
  for (const char* name : {"/manifest.json", "/meta.json"})
    if (canOpenForRead(dir + name)) return dir + name;
  return "";
}

TesseraCarriage tesseraCarriageOf(const std::string& resolved_dir, const json::JVal* manifest) {
  TesseraCarriage c;
  c.dir = resolved_dir;
  const json::JVal* t = manifest ? manifest->get("tessera") : nullptr;
  if (t && t->isObj()) {
    if (const json::JVal* mem = t->get("members"); mem && mem->isObj()) {
      for (size_t i = 0; i < tesseraSlotKeys().size(); ++i) {
        const json::JVal* v = mem->get(tesseraSlotKeys()[i]);
        if (v && v->isStr() && !v->str.empty()) c.slots.names[i] = v->str;
      }
    }
    if (const json::JVal* p = t->get("planes"); p && p->isArr())
      for (const auto& e : p->arr)
        if (e.isStr()) c.planes.push_back(e.str);
    c.declared = true;
  }
  for (size_t i = 0; i < c.slots.names.size(); ++i) {
    c.paths.push_back(resolveMember(c.dir, c.slots.names[i]));
    if (!canOpenForRead(c.paths.back())) c.missing.push_back(tesseraSlotKeys()[i]);
  }
  c.complete = c.missing.empty();
  return c;
}

TesseraCarriage tesseraCarriage(const std::string& bundle_dir) {
  const std::string dir = resolveBundlePath(bundle_dir);
  const std::string mpath = findTesseraManifest(dir);
  // A manifest this reader cannot read or parse leaves the defaults: the members are
  // still looked for, and the loader reports the manifest itself.
  json::JVal root;
  bool parsed = false;
  if (!mpath.empty()) {
    try {
      root = json::parse(json::slurpJson(mpath));
      parsed = true;
    } catch (const std::exception&) {
    }
  }
  return tesseraCarriageOf(dir, parsed ? &root : nullptr);
}

TesseraCarriage tesseraCarriage(const Manifest& m) { return tesseraCarriage(m.dir); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string list;
  for (const std::string& key : c.missing) {
    size_t slot = 0;
    while (tesseraSlotKeys()[slot] != key) ++slot;
    if (!list.empty()) list += ", ";
    list += key + " (" + c.slots.names[slot] + ")";
  }
  std::string msg = "missing teeth member(s): " + list + " — carries " +
                    std::to_string(4 - static_cast<int>(c.missing.size())) + " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every "
      "plane; any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — "
      "there is no rendering mode that proceeds without them (orvane-2 IS borrowed teeth). "
      "Re-stage the bundle with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

}  // namespace ka::tessera
