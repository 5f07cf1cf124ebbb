#pragma once
// The teeth pass's four bundle members (the carriage): where they are, which are
// missing, and the one refusal a bundle without all of them gets. The borrow is a
// switch: all four present arms it, any one missing refuses it.
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/manifest.h"

namespace ka::tessera {

// "bank_track", "bank_sidecar", "head_weights", "head_config": the slot order used for
// indexing everywhere.
const std::vector<std::string>& tesseraSlotKeys();
int tesseraSlotCount();

// The member file names, in slot order; defaults to the version-1 names.
struct TesseraSlots {
  std::vector<std::string> names;
  TesseraSlots();
};

struct TesseraCarriage {
  TesseraSlots slots;               // possibly renamed by manifest.tessera.members
  std::vector<std::string> paths;   // resolved, slot order
  bool complete = false;
  std::vector<std::string> missing; // slot keys, slot order
  bool declared = false;            // the manifest carries a `tessera` object
  std::vector<std::string> planes;  // manifest.tessera.planes, string elements verbatim
  std::string dir;                  // the resolved bundle directory

  // Throws "teeth: no such member slot '<key>'" for an unknown key.
  const std::string& path(const std::string& slot_key) const;
};

class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& message, std::vector<std::string> missing)
      : std::runtime_error(message), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

// Never throws for a missing member (it is recorded); throws only when the bundle path
// itself cannot be resolved.
TesseraCarriage tesseraCarriage(const std::string& bundle_dir);
TesseraCarriage tesseraCarriage(const Manifest& m);

namespace json {
struct JVal;
}
// The carriage of an already resolved directory whose manifest the caller has parsed
// (null: none, or unreadable), so a loader reads and parses the manifest once.
TesseraCarriage tesseraCarriageOf(const std::string& resolved_dir, const json::JVal* manifest);

// Returns when complete, else throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& c);

// "<dir>/manifest.json", else "<dir>/meta.json", whichever opens first; "" for neither.
std::string findTesseraManifest(const std::string& dir);

}  // namespace ka::tessera
