#include "ka/context.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "bundle/member.h"
#include "compute/pool.h"
#include "ka/ka.h"
#include "base/log.h"

namespace ka {

std::vector<uint8_t> readPasteMask(const Manifest& m) {
  const size_t n = static_cast<size_t>(m.crop) * static_cast<size_t>(m.crop);
  std::vector<uint8_t> mask(n, 0);
  // The member keeps its historical name at every crop size.
  std::ifstream in(resolveMember(m.dir, "mask_512.u8"), std::ios::binary);
  if (!in || !in.read(reinterpret_cast<char*>(mask.data()), static_cast<std::streamsize>(n)))
    throw std::runtime_error("mask read failed");
  return mask;
}

Context::Context(const std::string& bundleDir, const std::string& modelKey, int threads,
                 const std::string& ep)
    : manifest_(loadManifest(bundleDir)),
      identity_(manifest_),
      drive_(loadDrive(manifest_)),
      threads_(threads < 1 ? pool::threads() : threads),
      ep_(ep),
      threadsChosen_(threads > 0),
      modelKey_(modelKey) {
  paste_ = std::make_unique<Paste>(readPasteMask(manifest_), manifest_.crop, manifest_.unsharp);
  // 2 frames decoded ahead, 11 kept behind: enough for the session's paste stage to
  // re-serve the frames of a 24-frame chunk that are still in flight.
  cursor_ = DriverCursor::open(manifest_, 2, 11);
  frame_.resize(frameBytes());
}

Context::~Context() = default;

int Context::directorThreads(int share) const {
  if (threadsChosen_ || !ep_.empty()) return threads_;
  return std::min(threads_, share > 0 ? share : 2);
}

void Context::createRenderer(int share) {
  const int n = directorThreads(share);
  if (!threadsChosen_ && ep_.empty()) {
    KA_LOG_INFO(
        "[ka] director intra-op %d of pool %d: the caller did not choose, the core "
        "sized it for the ka_utt pipeline\n",
        n, threads_);
  }
  auto fresh = std::make_unique<Renderer>(manifest_, identity_, modelKey_, n, ep_);
  // lastCrop points into the old renderer's output, which goes away with it.
  if (renderer_) lastCrop_ = nullptr;
  renderer_ = std::move(fresh);
}

Renderer& Context::renderer() {
  if (!renderer_) createRenderer();
  return *renderer_;
}

const float* Context::render(int si, const float* xs, const float* xd) {
  const float* crop = renderer().render(&si, xs, xd, 1);
  lastCrop_ = crop;
  return crop;
}

const float* Context::renderRow(int row) {
  const size_t off = static_cast<size_t>(row) * kHostKpRows * 3;
  return render(drive_.si[row], drive_.xs.data() + off, drive_.xd.data() + off);
}

void Context::paste(int si, const float* crop, uint8_t* out) {
  // The compositor reads the driver frame in its ring slot and copies it row by row as
  // it blends, rather than the cursor copying all of it first. The slot is not reused
  // before `ahead` further frames are decoded past it, which takes further pulls.
  int got = -1;
  const uint8_t* driver = cursor_->pullAt(si, &got);
  paste_->composite(crop, 255.0f, identity_.M(si), driver, out, manifest_.W, manifest_.H);
}

const uint8_t* Context::pasteLast(int si) {
  paste(si, lastCrop_, frame_.data());
  return frame_.data();
}

const uint8_t* Context::targetFrame(int si) {
  int got = -1;
  return cursor_->pullAt(si, &got);
}

}  // namespace ka
