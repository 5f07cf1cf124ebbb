#pragma once
// ka::Context holds one opened bundle for a host: the manifest, the identity's per-frame
// data, the idle loop's keypoint rows, the paste compositor, the driver video cursor and,
// once the first render needs it, the renderer. It knows nothing of the C interface;
// ka_ctx (the C handle) is this class.
//
// Invariants: everything but the renderer exists from construction on; `lastCrop` is
// null until a render succeeds and then points into the renderer's output buffer; a
// failed render leaves it as it was. Indices handed to the methods below are checked by
// the caller (the C wrappers check them before any work).
//
// No lock: a host uses a context from one thread at a time. The cursor owns its prefetch
// thread from construction to destruction.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/driver_cursor.h"
#include "paste/paste.h"
#include "render/renderer.h"

namespace ka {

// The bundle's paste mask, "mask_512.u8" whatever the crop: its first crop x crop bytes.
// Throws "mask read failed" when the member cannot be opened or is shorter.
std::vector<uint8_t> readPasteMask(const Manifest& m);

class Context {
 public:
  // threads < 1: the host did not choose; ka::pool::threads() is taken and the renderer
  // is later sized for the utterance pipeline. Every loader's refusal propagates, and
  // whatever was built before it is released.
  Context(const std::string& bundleDir, const std::string& modelKey, int threads,
          const std::string& ep);
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Builds the renderer, replacing any there is, with directorThreads(share) intra-op
  // threads.
  void createRenderer(int share = 0);
  // The director's intra-op threads: the host's count when it chose a thread count or a
  // provider; otherwise at most `share` of the pool (2 when share < 1), since the
  // utterance pipeline runs the director beside its own threads.
  int directorThreads(int share = 0) const;
  Renderer& renderer();  // creates it on first need

  // Renders source frame si from the two keypoint sets (63 floats each); the crop stays
  // valid until the next render. Records it as lastCrop.
  const float* render(int si, const float* xs, const float* xd);
  const float* renderRow(int row);
  // Driver frame si into out (W x H x 3 bytes) with `crop` pasted through M(si).
  void paste(int si, const float* crop, uint8_t* out);
  // lastCrop pasted into driver frame si, in the context's own frame buffer.
  const uint8_t* pasteLast(int si);
  // Driver frame si inside the cursor's ring, no copy.
  const uint8_t* targetFrame(int si);

  const Manifest& manifest() const { return manifest_; }
  Identity& identity() { return identity_; }
  const Drive& drive() const { return drive_; }
  DriverCursor& cursor() { return *cursor_; }
  Paste& compositor() { return *paste_; }
  bool hasRenderer() const { return renderer_ != nullptr; }
  const float* lastCrop() const { return lastCrop_; }
  int threads() const { return threads_; }
  bool threadsChosen() const { return threadsChosen_; }
  const std::string& ep() const { return ep_; }
  const std::string& modelKey() const { return modelKey_; }
  int NT() const { return manifest_.NT; }
  int W() const { return manifest_.W; }
  int H() const { return manifest_.H; }
  int crop() const { return manifest_.crop; }
  int frames() const { return drive_.frames; }
  size_t frameBytes() const { return static_cast<size_t>(manifest_.W) * manifest_.H * 3; }

 private:
  // Declaration order is construction order; destruction runs it backwards, so the
  // cursor's thread is joined before anything it reads goes away.
  Manifest manifest_;
  Identity identity_;
  Drive drive_;
  std::unique_ptr<Renderer> renderer_;
  std::unique_ptr<Paste> paste_;
  int threads_;
  std::string ep_;
  bool threadsChosen_;
  std::string modelKey_;
  std::unique_ptr<DriverCursor> cursor_;
  std::vector<uint8_t> frame_;
  const float* lastCrop_ = nullptr;
};

}  // namespace ka

// The C interface's context handle.
struct ka_ctx final : ka::Context {
  using ka::Context::Context;
};
