/* libka_core audio-to-expression streams (the ka_a2x_ family).
 *
 * Follows the conventions stated at the top of ka/ka.h; this family keeps its own
 * last-error text per thread (ka_a2x_last_error).
 *
 * A stream turns 16 kHz mono float speech into one keypoint frame per 640 samples (25
 * per second). Per frame it gives the driver frame to show (si), that frame's source
 * keypoints (xs, 63 floats) and the driven keypoints (xd = xs + predicted delta); with a
 * width-row model also one width value (wn). The speech encoder file is named by the
 * environment variable W2V_ONNX or, when it is not set, by the path last given to
 * ka_a2x_preload_w2v.
 *
 *     ka_a2x* a = ka_a2x_create("/data/alice/motion", 0);
 *     if (!a) { fprintf(stderr, "%s\n", ka_a2x_last_error()); return 1; }
 *     while (have_audio) {
 *       ka_a2x_push(a, samples, n);
 *       int si[8]; float xs[8 * 63], xd[8 * 63];
 *       int got = ka_a2x_pull(a, si, xs, xd, 8);  // frames that are final now
 *       ...
 *     }
 *     ka_a2x_finish(a);  // the tail becomes available
 *     while (ka_a2x_avail(a) > 0) ka_a2x_pull(a, si, xs, xd, 8);
 *     ka_a2x_destroy(a);
 *
 * A stream is used by one thread at a time; several streams may run on different
 * threads and share the process-wide speech encoders.
 */
#ifndef KA_KA_A2X_H
#define KA_KA_A2X_H

#include "ka/ka.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An audio-to-expression stream over one bundle's motion members. */
typedef struct ka_a2x ka_a2x;

/* Opens the stream on the members in bundle_dir (a2x_meta.json, a2x_pos.f32,
 * a2x_norm.f32, xs_target.bin, a2x_enc_stream.onnx, a2x_dec.onnx). threads < 1 uses the
 * worker pool's thread count. NULL on failure ("ka_a2x_create: " + reason). */
KA_API ka_a2x* ka_a2x_create(const char* bundle_dir, int threads);
KA_API void ka_a2x_destroy(ka_a2x* a);

/* Appends count samples (16 kHz mono float); count <= 0 or a NULL handle appends
 * nothing. Returns 1; -1 only for NULL samples with a positive count. */
KA_API int ka_a2x_push(ka_a2x* a, const float* samples, int count);
/* Marks the end of the audio: frames up to the last partial one become available. */
KA_API void ka_a2x_finish(ka_a2x* a);
/* Frames that can be pulled now without more audio; runs a bounded amount of network
 * work per call.
 *
 * A failure while running the networks (a frontend or encoder that gives the wrong
 * shape, a runtime error) is kept by the stream: from that call on, ka_a2x_avail and
 * ka_a2x_pull return -1 with ka_a2x_last_error() = "ka_a2x extend: " + reason, without
 * running the failed step again, until ka_a2x_reset starts a new utterance. A stream
 * that merely waits for audio returns 0, never -1. */
KA_API int ka_a2x_avail(ka_a2x* a);
/* Pulls up to max frames: si[max], xs[max * 63], xd[max * 63]. Returns the count; -1
 * for NULL output buffers or a failed stream (see ka_a2x_avail). */
KA_API int ka_a2x_pull(ka_a2x* a, int* si, float* xs, float* xd, int max);
/* As ka_a2x_pull, also one width value per frame into wn[max] (0 without one). */
KA_API int ka_a2x_pull_wn(ka_a2x* a, int* si, float* xs, float* xd, float* wn, int max);

/* Offline: the deltas (63 floats per frame) of a whole utterance into out, without
 * touching the stream. Returns the frame count, -2 when cap_frames is below
 * ceil(count / 640) (nothing written), -1 on failure. */
KA_API int ka_a2x_deltas(ka_a2x* a, const float* samples, int count, float* out,
                         int cap_frames);
/* As ka_a2x_deltas, then the width row into out_wn[cap_frames]; -3 when the encoder
 * declares no width output. */
KA_API int ka_a2x_deltas_wn(ka_a2x* a, const float* samples, int count, float* out,
                            float* out_wn, int cap_frames);

/* Starts a new utterance: driver index `start` (< 0 continues where the last pulled
 * frame left the driver), direction (< 0 backwards), loop (non-zero cyclic, 0
 * ping-pong). */
KA_API void ka_a2x_reset(ka_a2x* a, int start, int direction, int loop);
/* Stored for the caller; has no effect on this engine. */
KA_API void ka_a2x_set_eager(ka_a2x* a, int eager);
/* After ka_a2x_finish: ceil(samples / 640); before it: -1. */
KA_API int ka_a2x_total(const ka_a2x* a);
/* Driver frames of the bundle (rows of xs_target.bin); 0 for NULL. */
KA_API int ka_a2x_nt(const ka_a2x* a);
/* 1 when the encoder has a width output, else 0. */
KA_API int ka_a2x_width(const ka_a2x* a);
/* The calling thread's last failure of this family; "" when none. Never NULL. */
KA_API const char* ka_a2x_last_error(void);

/* Loads the shared 8-second speech encoder now from path (NULL or "" means $W2V_ONNX).
 * Streams (and utterance sessions) created afterwards without $W2V_ONNX use this path,
 * the short-window pair beside it included. Non-zero on success; 0 with
 * "ka_a2x_preload_w2v: ..." on failure. */
KA_API int ka_a2x_preload_w2v(const char* path);
/* Always 1: the shared 8-second encoder loads on first need. */
KA_API int ka_a2x_w2v8_lazy(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* KA_KA_A2X_H */
