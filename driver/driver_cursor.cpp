#include "driver/driver_cursor.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bundle/file_io.h"
#include "bundle/manifest.h"
#include "bundle/manifest_fields.h"
#include "bundle/member.h"
#include "base/log.h"

namespace ka {

// Sequence numbers count slots handed out by the producer; the slot of sequence s is
// s mod ring. Within one generation the frame index advances by one (mod NT) from slot
// to slot; a real seek starts a new generation and drops whatever is still in flight.
//
// Locks: `m` is owned by the cursor's state (counters, slotFrame, error, stop) and is
// never held while decoding or seeking. `apiLock` is owned by the public operations and
// makes each pull or seek atomic for its caller; it is taken before `m`, never after.
class DriverCursor::Impl {
 public:
  Impl(std::unique_ptr<driver::Source> source, int aheadIn, int behindIn)
      : src(std::move(source)),
        NT(src->NT()),
        W(src->W()),
        H(src->H()),
        frameBytes(src->frameBytes()),
        ahead(std::max(1, aheadIn)),
        behind(std::max(0, behindIn)),
        ring(ahead + behind + 1),
        backend(src->name()),
        slots(new uint8_t[static_cast<size_t>(ring) * frameBytes]),
        slotFrame(static_cast<size_t>(ring), -1) {
    producer = std::thread([this] { run(); });
  }

  ~Impl() {
    {
      std::lock_guard<std::mutex> lk(m);
      stop = true;
    }
    space.notify_all();
    ready.notify_all();
    producer.join();
  }

  uint8_t* slot(uint64_t seq) { return slots.get() + (seq % ring) * frameBytes; }

  // seek and take: the caller holds apiLock. fail and run: the producer thread.
  void seek(int i);
  uint8_t* take(int* got, bool mut);
  void fail(const std::string& text);
  void run();

  std::unique_ptr<driver::Source> src;
  const int32_t NT, W, H;
  const size_t frameBytes;
  const int32_t ahead, behind, ring;
  const std::string backend;  // taken before the producer can reopen the source
  // One allocation for all slots, left uninitialised: pages are touched only as frames
  // are decoded into them.
  std::unique_ptr<uint8_t[]> slots;
  std::vector<int32_t> slotFrame;  // frame index held by each slot, -1 before any
  mutable std::mutex m;
  std::mutex apiLock;
  std::condition_variable space;  // the producer waits here
  std::condition_variable ready;  // readers wait here
  uint64_t consumed = 0;          // next sequence a reader takes
  uint64_t produced = 0;          // next sequence the producer fills
  uint64_t floor = 0;             // nothing before this sequence is served again
  bool busy = false;              // decoding into slot(produced) with m released
  int32_t nextFrame = 0;          // frame the producer decodes next
  int32_t position = 0;           // frame a plain pull serves next
  int32_t srcPos = 0;             // frame the source delivers next; producer thread only
  int32_t pendingSeek = -1;
  uint64_t generation = 0;
  bool stop = false;
  std::string error;  // first failure; once set the cursor is dead
  uint64_t seeks = 0;
  std::thread producer;
};

void DriverCursor::Impl::fail(const std::string& text) {
  {
    std::lock_guard<std::mutex> lk(m);
    if (error.empty()) error = text;
  }
  ready.notify_all();
}

void DriverCursor::Impl::run() {
  std::unique_lock<std::mutex> lk(m);
  for (;;) {
    if (stop) return;
    if (pendingSeek >= 0) {
      nextFrame = pendingSeek;
      pendingSeek = -1;
      const int target = nextFrame;
      lk.unlock();
      try {
        src->seek(target);
      } catch (const std::exception& e) {
        fail(std::string("ka_driver: seek failed: ") + e.what());
        return;
      }
      srcPos = target;
      lk.lock();
      continue;
    }
    if (produced - consumed < static_cast<uint64_t>(ahead)) {
      const uint64_t seq = produced;
      const uint64_t gen = generation;
      const int32_t frame = nextFrame;
      busy = true;
      lk.unlock();
      try {
        if (srcPos == NT) {  // the loop closes here
          src->rewind();
          srcPos = 0;
        }
        if (!src->next(slot(seq)))
          throw std::runtime_error(src->name() + " ended after " + std::to_string(srcPos) +
                                   " frames, the manifest says NT=" + std::to_string(NT) +
                                   " — a short driver is a session that stops part way through the "
                                   "loop, refusing");
      } catch (const std::exception& e) {
        fail(std::string("ka_driver: ") + e.what());
        return;
      }
      ++srcPos;
      lk.lock();
      busy = false;
      if (generation == gen) {
        slotFrame[seq % ring] = frame;
        ++produced;
        nextFrame = (frame + 1) % NT;
        ready.notify_all();
      }
      continue;
    }
    space.wait(lk);
  }
}

void DriverCursor::Impl::seek(int i) {
  if (i < 0 || i >= NT)
    throw std::runtime_error("ka_driver: seek(" + std::to_string(i) + ") outside [0," + std::to_string(NT) + ")");
  std::unique_lock<std::mutex> lk(m);
  if (!error.empty()) throw std::runtime_error(error);
  position = i;
  const int servedNext = consumed < produced ? slotFrame[consumed % ring]
                         : pendingSeek >= 0  ? pendingSeek
                                             : nextFrame;
  if (servedNext == i) return;
  // With a seek still pending, neither the slots nor nextFrame describe what the
  // producer decodes next: only a new seek can be trusted.
  if (pendingSeek < 0) {
    // Oldest sequence still intact: not before floor, not a slot being (or about to be)
    // overwritten, not older than the history window.
    uint64_t lo = floor;
    const uint64_t r = static_cast<uint64_t>(ring);
    if (produced >= r) lo = std::max(lo, produced + (busy ? 1 : 0) - r);
    if (consumed > static_cast<uint64_t>(behind) + 1) lo = std::max(lo, consumed - 1 - behind);
    for (uint64_t q = lo; q < produced; ++q)
      if (slotFrame[q % ring] == i) {
        consumed = q;
        lk.unlock();
        space.notify_one();
        return;
      }
    if (nextFrame == i) {
      consumed = produced;
      lk.unlock();
      space.notify_one();
      return;
    }
  }
  consumed = produced;
  pendingSeek = i;
  ++generation;
  ++seeks;
  lk.unlock();
  space.notify_one();
}

uint8_t* DriverCursor::Impl::take(int* got, bool mut) {
  std::unique_lock<std::mutex> lk(m);
  for (;;) {
    if (!error.empty()) throw std::runtime_error(error);
    if (consumed < produced) {
      const uint64_t c = consumed++;
      if (mut) floor = consumed;
      *got = slotFrame[c % ring];
      position = (*got + 1) % NT;
      lk.unlock();
      space.notify_one();
      return slot(c);
    }
    ready.wait(lk);
  }
}

DriverCursor::DriverCursor(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)),
      NT(impl_->NT),
      W(impl_->W),
      H(impl_->H),
      frameBytes(impl_->frameBytes),
      backend(impl_->backend) {}

DriverCursor::~DriverCursor() = default;

void DriverCursor::checkRing(int ahead, int behind) {
  if (ahead > kMaxRing || behind > kMaxRing)
    throw std::runtime_error("ka_driver: look-ahead " + std::to_string(ahead) + " / history " +
                             std::to_string(behind) + " frames — each may be at most " +
                             std::to_string(kMaxRing) + ", refusing to size the ring");
}

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> src, int ahead, int behind) {
  checkRing(ahead, behind);
  if (!src) throw std::runtime_error("ka_driver: no source");
  if (src->NT() < 1 || src->frameBytes() == 0)
    throw std::runtime_error("ka_driver: " + src->name() + " has " + std::to_string(src->NT()) + " frames of " +
                             std::to_string(src->frameBytes()) + " bytes — nothing to play, refusing");
  return std::unique_ptr<DriverCursor>(new DriverCursor(std::make_unique<Impl>(std::move(src), ahead, behind)));
}

void DriverCursor::seek(int i) {
  std::lock_guard<std::mutex> api(impl_->apiLock);
  impl_->seek(i);
}

const uint8_t* DriverCursor::pull(int* got) {
  std::lock_guard<std::mutex> api(impl_->apiLock);
  impl_->seek(position());
  return impl_->take(got, false);
}

uint8_t* DriverCursor::pullMut(int* got) {
  std::lock_guard<std::mutex> api(impl_->apiLock);
  impl_->seek(position());
  return impl_->take(got, true);
}

int DriverCursor::pull(uint8_t* dst) {
  std::lock_guard<std::mutex> api(impl_->apiLock);
  impl_->seek(position());
  int got = -1;
  const uint8_t* p = impl_->take(&got, false);
  std::memcpy(dst, p, frameBytes);
  return got;
}

namespace {
void checkYield(int got, int i) {
  if (got != i)
    throw std::runtime_error("ka_driver: cursor yielded frame " + std::to_string(got) + " for si=" + std::to_string(i));
}
}  // namespace

const uint8_t* DriverCursor::pullAt(int i, int* got) {
  std::lock_guard<std::mutex> api(impl_->apiLock);
  impl_->seek(i);
  const uint8_t* p = impl_->take(got, false);
  checkYield(*got, i);
  return p;
}

uint8_t* DriverCursor::pullMutAt(int i, int* got) {
  std::lock_guard<std::mutex> api(impl_->apiLock);
  impl_->seek(i);
  uint8_t* p = impl_->take(got, true);
  checkYield(*got, i);
  return p;
}

int DriverCursor::pullAt(int i, uint8_t* dst) {
  std::lock_guard<std::mutex> api(impl_->apiLock);
  impl_->seek(i);
  int got = -1;
  const uint8_t* p = impl_->take(&got, false);
  checkYield(got, i);
  std::memcpy(dst, p, frameBytes);
  return i;
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->position;
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->m);
  return impl_->seeks;
}

// No lock: the ring's size never changes and the source keeps its estimate thread-safe.
size_t DriverCursor::residentBytes() const {
  return impl_->frameBytes * static_cast<size_t>(impl_->ring) + impl_->src->residentBytes();
}

namespace {

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string frameFile(const std::string& dir, int index) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.jpg", index);
  return dir + name;
}

bool envIs(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

}  // namespace

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& man, int ahead, int behind) {
  std::string jpgName = "target_frames";
  std::string mp4Name = "target_frames.mp4";
  const std::string text = readText(man.dir + "/manifest.json");
  optStr(text, "target_frames", jpgName);
  optStr(text, "target_frames_mp4", mp4Name);

  const std::string jpgDir = man.dir + "/" + jpgName;
  // The last frame stands for the whole directory: a partly written one is not a driver.
  const bool populated = fileExists(frameFile(jpgDir, man.NT - 1));
  const std::string mp4Path = resolveMember(man.dir, mp4Name);

  bool useMp4 = false;
  if (envIs("KA_DRIVER_PREFER_MP4", "1") && fileExists(mp4Path)) {
    if (populated)
      KA_LOG_INFO(
          "[ka-driver] KA_DRIVER_PREFER_MP4=1 — %s/ is populated and NOT used; %s is the member "
          "this consumer reads\n",
          jpgName.c_str(), mp4Name.c_str());
    useMp4 = true;
  }
  if (!useMp4 && populated) {
    KA_LOG_INFO("[ka-driver] %s/ (raw jpg, %d frames) — read one frame per pull\n", jpgName.c_str(), man.NT);
    return over(driver::openJpgDir(jpgDir, man.NT, man.W, man.H), ahead, behind);
  }
  if (!fileExists(mp4Path))
    throw std::runtime_error("this bundle carries neither a populated " + jpgName + "/ nor " + mp4Name + " (" +
                             mp4Path + ") — there is no driver video to play. REFUSING to create a session.");
  auto src = driver::openMp4(mp4Path, man.NT, man.W, man.H);
  KA_LOG_INFO(
      "[ka-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) — no frame "
      "of the driver is expanded ahead of the paste\n",
      mp4Name.c_str(), src->name().c_str(), man.NT, man.W, man.H, std::max(1, ahead),
      std::max(0, behind));
  return over(std::move(src), ahead, behind);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& man, int ahead, int behind) {
  std::string hevcName = "P_hevc.mov";
  const std::string text = readText(man.dir + "/manifest.json");
  optStr(text, "P_hevc", hevcName);
  const std::string path = resolveMember(man.dir, hevcName);
  if (!fileExists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + hevcName + " (" + path +
                             ") — there is no warp prior to play. REFUSING to create a session.");
  auto src = driver::openPriorHevc(path, man.NT, man.crop);
  KA_LOG_INFO(
      "tavrin: identity source ready — %d frames %dx%d, played straight from %s (%s); nothing is "
      "unpacked to disk\n",
      man.NT, man.crop, man.crop, hevcName.c_str(), src->name().c_str());
  return over(std::move(src), ahead, behind);
}

}  // namespace ka
