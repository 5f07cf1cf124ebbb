#pragma once
// ka::Identity: the per-driver-frame data a renderer needs, mapped from the bundle:
// the warp prior P (three crop x crop half planes per frame, mapped from P.f16 or
// decoded on demand from an HEVC member), the feature blocks (pooled64, fs_red) and
// the paste transforms M, rescaled from the canvas they were authored on to the
// driver's. Immutable after construction except for the prior cursor, opened on first
// need. The mappings and vectors may be read from any thread.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/manifest.h"
#include "bundle/mapped_file.h"

namespace ka {

class DriverCursor;

inline constexpr size_t kPooled64Bytes = 131072;  // 65,536 halves per frame
inline constexpr size_t kFsRedBytes = 524288;     // 262,144 halves per frame

// Refuses a bundle that carries no usable warp prior, naming what is missing.
void ensureIdentityMembers(const Manifest& m);

class Identity {
 public:
  explicit Identity(const Manifest& m);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  int32_t NT() const { return NT_; }
  int32_t crop() const { return crop_; }

  // Frame i's prior, 3 x crop x crop halves, planar. From the mapping when P.f16 is
  // mapped, else from the prior cursor (valid until the cursor reuses that slot).
  const uint16_t* P(int i);
  // Keeps the prior cursor's decoding in step with the frames being rendered; a no-op
  // for a mapped P.f16 or no prior.
  void walkP(int i);
  const uint16_t* fsRed(int i) const {
    return reinterpret_cast<const uint16_t*>(fsRed_.data() + static_cast<size_t>(i) * kFsRedBytes);
  }
  const uint16_t* pooled64(int i) const {
    return reinterpret_cast<const uint16_t*>(pooled64_.data() + static_cast<size_t>(i) * kPooled64Bytes);
  }
  const float* M(int i) const { return M_.data() + static_cast<size_t>(i) * 6; }

  bool hasP() const { return !P_.empty(); }
  bool hasFsRed() const { return !fsRed_.empty(); }
  const std::string& hevcPath() const { return hevcPath_; }

  // The HEVC prior's cursor, opened exactly once (thread-safe).
  DriverCursor& prior();
  std::string priorBackend();
  size_t priorResidentBytes();
  uint64_t priorSeeks();

  // Rescales M from the stamped paste space (MsrcW x MsrcH) to the W x H canvas.
  void rescaleM(const Manifest& m);

 private:
  int32_t NT_;
  int32_t crop_;
  MappedFile pooled64_;
  MappedFile P_;
  MappedFile fsRed_;
  std::vector<float> M_;
  std::string hevcPath_;
  Manifest manifest_;
  std::once_flag priorOnce_;
  std::unique_ptr<DriverCursor> prior_;
};

}  // namespace ka
