#include "bundle/drive.h"

#include <stdexcept>

#include "bundle/member.h"
#include "bundle/raw_array.h"
#include "ka/ka.h"

namespace ka {

Drive loadDrive(const Manifest& m) {
  if (m.frames < 0) throw std::runtime_error("drive: frames must not be negative (" + std::to_string(m.frames) + ")");
  Drive d;
  d.frames = m.frames;
  const size_t rows = static_cast<size_t>(m.frames);
  const size_t kp = static_cast<size_t>(kHostKpRows) * 3;
  d.xs = readRaw<float>(resolveMember(m.dir, "drive/xs.f32"), rows * kp);
  d.xd = readRaw<float>(resolveMember(m.dir, "drive/xd.f32"), rows * kp);
  d.si = readRaw<int32_t>(resolveMember(m.dir, "drive/si.i32"), rows);
  for (int32_t s : d.si)
    if (s < 0 || s >= m.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace ka
