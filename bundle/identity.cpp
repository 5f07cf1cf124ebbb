#include "bundle/identity.h"

#include <limits>
#include <stdexcept>

#include "bundle/file_io.h"
#include "bundle/manifest_fields.h"
#include "bundle/member.h"
#include "bundle/raw_array.h"
#include "driver/driver_cursor.h"

namespace ka {
namespace {

bool memberExists(const Manifest& m, const std::string& name) {
  return canOpenForRead(resolveMember(m.dir, name));
}

// Sizes computed from manifest numbers; an impossible product is reported as the size
// mismatch it would be, never wrapped into a small number that might match.
size_t bytesOf(std::initializer_list<size_t> factors, const std::string& path) {
  size_t total = 1;
  for (size_t f : factors) {
    if (f != 0 && total > std::numeric_limits<size_t>::max() / f) throw std::runtime_error("size mismatch " + path);
    total *= f;
  }
  return total;
}

}  // namespace

void ensureIdentityMembers(const Manifest& m) {
  const std::string text = readText(m.dir + "/manifest.json");
  std::string rgbName = "P.f16";
  optStr(text, "P_rgb", rgbName);
  const bool haveP = memberExists(m, "P.f16");
  const bool haveFs = memberExists(m, "fs_red.f16");
  if (rgbName != "P.f16" && memberExists(m, rgbName) && !haveP && !haveFs)
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + rgbName +
        "' (P_rgb) but ka::Identity maps the welded name P.f16 and would find nothing — it maps NOTHING "
        "silently and Identity::P(si) is then an offset from a null pointer. REFUSING rather than rendering "
        "off a prior nothing will read.");
  if (haveP || haveFs) return;
  std::string hevc;
  if (!optStr(text, "P_hevc", hevc))
    throw std::runtime_error("this bundle carries neither " + rgbName +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the "
                             "renderer has no warp prior and ka::Identity would hand it a null pointer. REFUSING "
                             "to create a session.");
  const std::string path = resolveMember(m.dir, hevc);
  if (!canOpenForRead(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc + "' and the file is not there (" +
                             path + ") — the renderer has no warp prior. REFUSING to create a session.");
}

Identity::Identity(const Manifest& m) : NT_(m.NT), crop_(m.crop), manifest_(m) {
  ensureIdentityMembers(m);
  const size_t nt = static_cast<size_t>(m.NT), crop = static_cast<size_t>(m.crop);

  const std::string pooledPath = resolveMember(m.dir, "pooled64.f16");
  pooled64_ = MappedFile(pooledPath, bytesOf({nt, kPooled64Bytes}, pooledPath));

  const std::string pPath = resolveMember(m.dir, "P.f16");
  const std::string fsPath = resolveMember(m.dir, "fs_red.f16");
  const bool haveFs = canOpenForRead(fsPath);
  if (canOpenForRead(pPath)) {
    P_ = MappedFile(pPath, bytesOf({crop, nt, crop, 6}, pPath));
  } else if (!haveFs) {
    std::string hevc = "P_hevc.mov";
    optStr(readText(m.dir + "/manifest.json"), "P_hevc", hevc);
    const std::string path = resolveMember(m.dir, hevc);
    if (canOpenForRead(path)) hevcPath_ = path;
  }
  if (haveFs) fsRed_ = MappedFile(fsPath, bytesOf({nt, kFsRedBytes}, fsPath));

  M_ = readRaw<float>(resolveMember(m.dir, "M.f32"), nt * 6);
  rescaleM(m);
}

Identity::~Identity() = default;

void Identity::rescaleM(const Manifest& m) {
  if (m.MsrcW <= 0 || m.MsrcH <= 0)
    throw std::runtime_error(
        "ka::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
        "knowing the space it was authored in");
  if (m.MsrcW == m.W && m.MsrcH == m.H) return;
  const double sx = double(m.W) / m.MsrcW, sy = double(m.H) / m.MsrcH;
  for (size_t f = 0; f + 6 <= M_.size(); f += 6) {
    for (int k = 0; k < 3; ++k) M_[f + k] = static_cast<float>(double(M_[f + k]) * sx);
    for (int k = 3; k < 6; ++k) M_[f + k] = static_cast<float>(double(M_[f + k]) * sy);
  }
}

DriverCursor& Identity::prior() {
  std::call_once(priorOnce_, [this] { prior_ = DriverCursor::openPrior(manifest_, 2, 11); });
  return *prior_;
}

const uint16_t* Identity::P(int i) {
  if (!P_.empty())
    return reinterpret_cast<const uint16_t*>(P_.data() + static_cast<size_t>(i) * 3 * crop_ * crop_ * 2);
  int got = -1;
  return reinterpret_cast<const uint16_t*>(prior().pullAt(i, &got));
}

void Identity::walkP(int i) {
  if (!P_.empty() || hevcPath_.empty()) return;
  int got = -1;
  prior().pullAt(i, &got);
}

std::string Identity::priorBackend() {
  if (!P_.empty()) return "mmap P.f16";
  if (!hevcPath_.empty()) return prior().backend;
  return "none";
}

size_t Identity::priorResidentBytes() { return hevcPath_.empty() ? 0 : prior().residentBytes(); }

uint64_t Identity::priorSeeks() { return hevcPath_.empty() ? 0 : prior().seeks(); }

}  // namespace ka
