#pragma once
// Building an audio-to-motion engine for a context (library-internal; the session uses
// these instead of ka_a2x_create / ka_motion_create).
//
// A motion directory carries per-driver-frame rows (xs_target.bin, and the motion
// generator's keypoint records) made for one identity's driver video. A directory made
// for another identity has another frame count; served anyway, every speech frame
// would index rows that do not belong to the video being shown. These refuse it when
// the engine is built, naming both counts, instead of letting frames fail one by one.
//
// contextFrames is the context's driver frame count; 0 skips the comparison (what the
// plain C functions do). Failures return NULL with the family's last error set exactly
// as the plain creation function sets it ("ka_a2x_create: ..." /
// "ka_motion_create: ..."), so ka_a2x_last_error / ka_motion_last_error read it.
struct ka_a2x;
struct ka_motion;

namespace ka::capi {

ka_a2x* a2xCreateFor(const char* bundle_dir, int threads, int contextFrames) noexcept;
ka_motion* motionCreateFor(const char* motion_dir, int threads, const char* ep, int contextFrames) noexcept;

}  // namespace ka::capi
