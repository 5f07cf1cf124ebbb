/* libka_core: animates a filmed person from speech in real time.
 *
 * Conventions (every function below follows them unless its comment says otherwise):
 *
 *  - Handles are opaque pointers made by a *_create or *_open function and released by
 *    the matching *_destroy or *_close, which accept NULL.
 *  - Errors: a failed call returns NULL (pointer results), 0 (success flags, success is
 *    1) or -1 (the bundle queries, whose 0 and 1 are two successful outcomes). Nothing is
 *    ever thrown across this interface. The reason is kept as text, one per function
 *    family and per thread: ka_last_error() for ka_*, ka_utt_last_error() for ka_utt_*,
 *    and so on. Each family's fallible functions empty their text on entry, so after a
 *    successful call the reader returns "". The text reads "<function>: <reason>", is
 *    owned by the library, and stays valid until the next call of the same family on
 *    the same thread. The library never prints it.
 *  - Logging: diagnostics are single lines tagged "[ka] ", "[ka-driver] ", ... (lines
 *    announcing a degraded mode begin "[ka] !!! "), together with the lines of FFmpeg
 *    and ONNX Runtime as the library uses them. By default they go to standard error.
 *    ka_set_log_callback(fn, user) hands each line to fn(level, line, user) instead,
 *    without its line end and without terminal colour escapes; ka_set_log_level(level)
 *    (or the environment variable KA_LOG_LEVEL: off, error, warning, info or debug)
 *    drops every line above `level`. The default level is KA_LOG_LEVEL_INFO, which
 *    hears everything the library prints by default. Both may be called at any time
 *    from any thread; the callback may be called from any of the library's threads, one
 *    line at a time.
 *  - Ownership: pointers the library returns (texts, crops, frames) are borrowed views,
 *    valid until the next call that can overwrite them. Buffers the caller passes are
 *    only used during the call; their sizes are stated by each function.
 *  - Threads: a context is used by one thread at a time; error texts are per thread;
 *    ka_prior handles are independent of contexts.
 *  - Sizes: keypoints cross the interface as sets of KA_HOST_KP_ROWS rows of (x, y, z)
 *    floats (63 floats); a crop is 3 x ka_crop() x ka_crop() floats in 0..1, planar
 *    (all R, then G, then B); a frame is ka_width() x ka_height() pixels, RGB24 with
 *    stride 3 x width (RGBA: 4 x width). Driver indices si run over 0..ka_nt()-1, drive
 *    rows over 0..ka_drive_frames()-1.
 *
 * Basic use (open a bundle, render the face for driver frame 0, paste it into that
 * frame):
 *
 *     ka_ctx* ctx = ka_create("/data/alice.imx", "b1", 0, NULL);
 *     if (!ctx) {
 *       fprintf(stderr, "%s\n", ka_last_error());
 *       return 1;
 *     }
 *     float xs[63], xd[63];  // source and driving keypoints for frame 0, from the host
 *     ...
 *     const float* crop = ka_render_kp_crop(ctx, 0, xs, xd);
 *     const uint8_t* rgb = crop ? ka_paste_last(ctx, 0) : NULL;
 *     if (!rgb) fprintf(stderr, "%s\n", ka_last_error());
 *     // rgb: ka_width(ctx) x ka_height(ctx) RGB24, the driver frame with the face in it.
 *     ka_destroy(ctx);
 *
 * ka_render_drive_rgba(ctx, row, out, cap) does both for a row of the bundle's idle loop
 * (its own si, xs and xd) and writes RGBA into the caller's buffer.
 *
 * Speaking (an utterance session: push speech whenever it arrives, pull frames at 25 fps;
 * between utterances the frames are the driver video itself):
 *
 *     ka_utt* s = ka_utt_open(ctx, "/data/alice/motion");  // audio-to-motion members
 *     if (!s) { fprintf(stderr, "%s\n", ka_utt_last_error()); ... }
 *     int r;
 *     while ((r = ka_utt_ready(s)) == 0) sleep_ms(10);       // the model loads meanwhile
 *     if (r < 0) { fprintf(stderr, "%s\n", ka_utt_last_error()); ... }
 *     size_t cap = (size_t)ka_width(ctx) * ka_height(ctx) * 3;
 *     uint8_t* rgb = malloc(cap);
 *     for (;;) {                                    // every 40 ms:
 *       if (have_speech) ka_utt_push_audio(s, pcm, n);  // 16 kHz mono int16, any n
 *       if (reply_done) ka_utt_end_utterance(s);        // or wait for auto_end_s of silence
 *       if (barge_in) ka_utt_interrupt(s);              // ramps back to the driver's pose
 *       ka_utt_frame_info info;
 *       if (ka_utt_pull_frame(s, rgb, cap, &info) == 1) show(rgb);  // idle, speech or ramp
 *     }
 *     ka_utt_destroy(s);  // before ka_destroy(ctx)
 *
 * Check that the header and the loaded library agree:
 *     if (strcmp(ka_version(), KA_VERSION) != 0) ...
 */
#ifndef KA_KA_H
#define KA_KA_H

#include <stddef.h>
#include <stdint.h>

#define KA_VERSION_MAJOR 0
#define KA_VERSION_MINOR 1
#define KA_VERSION_PATCH 0
#define KA_VERSION "0.1.0"

#define KA_HOST_KP_ROWS 21

#if defined(KA_BUILDING_LIBRARY)
#define KA_API __attribute__((visibility("default")))
#else
#define KA_API
#endif

#ifdef __cplusplus
namespace ka {
/* Rows of one keypoint set handed across the interface: 21 rows of (x, y, z). */
inline constexpr int kHostKpRows = KA_HOST_KP_ROWS;
}  // namespace ka
extern "C" {
#endif

/* ---- Library ------------------------------------------------------------------ */

/* The library's version text, "MAJOR.MINOR.PATCH"; equals KA_VERSION of the header it
 * was built with. Never fails. */
KA_API const char* ka_version(void);

/* The calling thread's last error text of the ka_ family (including ka_bundle_ and
 * ka_prior_); "" after a successful call. Never NULL. */
KA_API const char* ka_last_error(void);

/* Rows of a keypoint set at this interface: 21. Needs no context. */
KA_API int ka_host_kp_rows(void);

/* ---- Logging (see Conventions; these never fail and leave the error texts alone) --- */

#define KA_LOG_LEVEL_OFF (-1)
#define KA_LOG_LEVEL_ERROR 0
#define KA_LOG_LEVEL_WARNING 1
#define KA_LOG_LEVEL_INFO 2
#define KA_LOG_LEVEL_DEBUG 3

/* Receives one diagnostic line: its level (KA_LOG_LEVEL_ERROR..KA_LOG_LEVEL_DEBUG), its
 * text without the line end (valid during the call only) and the host's pointer. */
typedef void (*ka_log_fn)(int level, const char* line, void* user);

/* Routes every line to fn (NULL: back to standard error). When it returns, no line is
 * being delivered to the previous callback any more, so its user data may be freed.
 * The callback must not block for long; a call to ka_set_log_callback made from inside
 * it is ignored. */
KA_API void ka_set_log_callback(ka_log_fn fn, void* user);

/* Drops lines above `level` (KA_LOG_LEVEL_OFF drops all; values outside -1..3 count as
 * the nearest one). Overrides KA_LOG_LEVEL. Returns the previous level. */
KA_API int ka_set_log_level(int level);

/* ---- Telemetry ------------------------------------------------------------------- */

/* Counters and events, batched in memory as JSON with a description of the device. The
 * library never sends anything anywhere: the host reads the pending batch, ships it as
 * it likes and then flushes it.
 *
 *     int64_t need = ka_tel_pending_json(NULL, 0);   // seals the batch: see below
 *     char* doc = malloc(need);
 *     if (ka_tel_pending_json(doc, need) == need) ship(doc);
 *     ka_tel_flush();                                // clears exactly what was read
 *
 * The first read (ka_tel_pending_json) seals the batch: events recorded from then on go
 * into the next batch, repeated reads return the same document byte for byte, and
 * ka_tel_flush clears the sealed batch only. So with one reader no event is shipped
 * twice or lost between a read and its flush, however many threads record meanwhile.
 * A flush without a read clears whatever was pending.
 *
 * Several readers (threads or components each shipping on their own) must not use
 * ka_tel_flush: two of them can read the same sealed batch, and the second flush would
 * clear the next batch unread. Each sealed batch has an id ("batch": {"id": N, ...},
 * 1, 2, ... in the order batches are sealed in the process); a reader claims the batch
 * it read by its id and ships it only when the claim is its own:
 *
 *     uint64_t id = ...;                             // "batch"."id" of doc
 *     if (ka_tel_flush_batch(id) > 0) ship(doc);     // 0: another reader has it (or
 *                                                    // the batch was empty)
 *
 * Exactly one claim of a batch returns its event count; every other returns 0, and the
 * events recorded meanwhile are in the next batch. A host that must keep a batch when
 * shipping fails ships a copy it keeps until shipped.
 *
 * All five functions may be called from any thread at any time. Recording takes one
 * short lock, formats nothing and, once a name has been seen, allocates nothing; a read
 * formats outside that lock. Errors follow the Conventions, with ka_tel_last_error().
 *
 * Bounds per batch: 256 distinct names (an event under a 257th name is dropped and
 * counted in "dropped_names"); 4096 text events and 4 MiB of their bytes (beyond them
 * the oldest texts are dropped and counted in "dropped_texts"); a text beyond 64 KiB is
 * cut there on a character boundary and its event says how many bytes were cut
 * ("cut_bytes"). KA_TELEMETRY=off (or 0) turns recording off for the process: every
 * call then succeeds and records nothing.
 *
 * The document (UTF-8 JSON; names and texts are escaped, invalid UTF-8 becomes U+FFFD):
 *   {"format": "ka_telemetry.v1", "enabled": true,
 *    "device": {"library", "cpu_model", "arch", "cores", "vector_target", "onnxruntime",
 *               "ffmpeg", "libavcodec", "os"},
 *    "batch": {"id", "start_unix_ms", "end_unix_ms", "events", "dropped_texts",
 *              "dropped_names"},
 *    "metrics": [{"name", "count", "sum", "min", "max", "mean", "p50", "p90", "p99"}, ...],
 *    "texts": [{"name", "unix_ms", "text" [, "cut_bytes"]}, ...]}   (in recording order)
 * "events" counts every event recorded into the batch, dropped ones included. The batch
 * took its events from start_unix_ms (when the previous batch was sealed; for the first
 * batch, when the library was loaded) to end_unix_ms (when it was sealed), so
 * consecutive batches cover time without gaps or overlaps. Quantiles are of the value
 * at rank floor(q * (count - 1)): exact while a name has had at most 64 distinct values
 * in the batch; past that from a fixed-size sketch, within 1% of that value when its
 * magnitude is from 1e-9 to 1e19 (below, it reads as 0; above, as 1e19 or the name's
 * max, which like min, sum and count is always exact).
 *
 * The library's own events (numbers); an utterance's are recorded once the host has
 * pulled its last speech frame, or when it is interrupted or its session destroyed:
 *   "ka.bundle_open_ms"        per ka_create that succeeded: time to open the bundle
 *   "utt.first_frame_ms"       per utterance: first_frame_ms of ka_utt_stats
 *   "utt.speech_frames"        per utterance: its speech frames the host pulled (those an
 *                              interruption or the session's end dropped unread are not)
 *   "utt.interrupted"          per utterance: 1 when ka_utt_interrupt cut it short, its
 *                              speech not all pulled yet; else 0
 *   "utt.render_ms"            per utterance: the session's smoothed render time
 *   "utt.paste_ms"             per utterance: mean paste time per speech frame
 *   "utt.render_failures"      per utterance: render failures during it
 *   "utt.teeth_borrowed", "utt.teeth_refused"   per utterance, when teeth are attached
 */

/* Records one numeric event under `name` (1..64 bytes). Returns 1; 0 for a NULL, empty
 * or over-long name, a NaN or infinite value, or a full names table. */
KA_API int ka_tel_record(const char* name, double value);
/* Records one text event (NUL-terminated) under `name`. Returns 1; 0 as ka_tel_record
 * or for a NULL text. */
KA_API int ka_tel_record_str(const char* name, const char* text);
/* The pending batch as one JSON document: returns the bytes it needs, its terminating
 * NUL included, and copies it into out when cap is at least that; otherwise (out NULL,
 * cap 0 or one short) nothing is copied (out[0] = 0 when cap > 0). -1 when the document
 * could not be built (out of memory). */
KA_API int64_t ka_tel_pending_json(char* out, size_t cap);
/* Clears the pending batch; returns how many events it held. Never fails. For a host
 * with one reader; several readers use ka_tel_flush_batch. */
KA_API int64_t ka_tel_flush(void);
/* Clears the sealed batch only when `id` is its id ("batch"."id" of the document read):
 * returns how many events it held; 0 when the batch with that id was cleared already
 * (by any flush); -1 for an id no batch has had yet (0 included). */
KA_API int64_t ka_tel_flush_batch(uint64_t id);
/* The calling thread's last error text of the ka_tel_ family; "" when none. */
KA_API const char* ka_tel_last_error(void);

/* ---- Bundle queries (need no context) -------------------------------------------- */

/* Writes the bundle directory for `path` into out[cap]: a directory is returned as is;
 * an IMX container (or a path "x" with "x.imx" beside it) is unwrapped on first use and
 * its unwrap directory returned. Returns 1 on success; -1 on failure with out[0] = 0
 * when out is usable. A NULL argument or cap 0 leaves no text; a buffer that is too
 * small gives "ka_bundle_resolve_handle: buffer too small". */
KA_API int ka_bundle_resolve_handle(const char* path, char* out, size_t cap);

/* Writes the path of member `member` of bundle `bundle` into out[cap]. Legacy and
 * canonical member names are both accepted ("M.f32" finds "paste_transform.f32").
 * Returns 1 when the member exists, 0 when it does not (out then holds the path under
 * the name asked for), -1 on failure: a NULL argument or cap 0 (no text), a buffer that
 * is too small (out[0] = 0, no text), or a failure resolving the bundle (text set). */
KA_API int ka_bundle_resolve_member(const char* bundle, const char* member, char* out,
                                    size_t cap);

/* ---- Context ------------------------------------------------------------------ */

/* One opened bundle: manifest, identity data, idle-loop keypoints, paste compositor and
 * driver video cursor; the renderer is built on the first render. */
typedef struct ka_ctx ka_ctx;

/* Opens the bundle at bundle_dir (a directory or an IMX container) with the rendering
 * model named model_key. threads < 1 leaves the thread count to the library; ep is the
 * renderer's execution provider, NULL or "" for the default. NULL on failure
 * ("ka_create: NULL bundle_dir/model_key", or "ka_create: " + the loader's reason). */
KA_API ka_ctx* ka_create(const char* bundle_dir, const char* model_key, int threads,
                         const char* ep);
KA_API void ka_destroy(ka_ctx* ctx);

/* Sizes of the opened bundle; 0 for a NULL context. */
KA_API int ka_nt(const ka_ctx* ctx);           /* driver frames */
KA_API int ka_width(const ka_ctx* ctx);        /* frame width */
KA_API int ka_height(const ka_ctx* ctx);       /* frame height */
KA_API int ka_crop(const ka_ctx* ctx);         /* face crop side */
KA_API int ka_drive_frames(const ka_ctx* ctx); /* idle-loop rows */

/* ---- Single frames ------------------------------------------------------------- */

/* Renders the face for driver frame si from the source and driving keypoint sets. The
 * crop is valid until the next render on this context. NULL on failure:
 * "ka_render_kp_crop: bad args" or "ka_render_kp_crop: " + reason; a NaN or infinite
 * keypoint is refused with a reason naming its set and row. A failed render
 * leaves the previous crop as the one ka_paste_last pastes. */
KA_API const float* ka_render_kp_crop(ka_ctx* ctx, int si, const float* kp_source,
                                      const float* kp_driving);
/* As ka_render_kp_crop with drive row `row`'s si, xs and xd. NULL on failure:
 * "ka_render_drive_crop: bad frame index" or the texts of ka_render_kp_crop. */
KA_API const float* ka_render_drive_crop(ka_ctx* ctx, int row);

/* Writes driver frame si with `crop` pasted in into out (cap >= width x height x 3).
 * Returns 1; 0 on failure ("ka_paste_crop: bad args / out too small", checked before out
 * is touched, or "ka_paste_crop: " + reason). */
KA_API int ka_paste_crop(ka_ctx* ctx, int si, const float* crop, uint8_t* out, size_t cap);
/* Pastes the last rendered crop into driver frame si, in the context's own frame buffer,
 * valid until the next paste. NULL on failure ("ka_paste_last: bad args / no prior
 * render" or "ka_paste_last: " + reason). */
KA_API const uint8_t* ka_paste_last(ka_ctx* ctx, int si);

/* Render and paste in one call, as RGBA with alpha 255 into out (cap >= width x height x
 * 4). Returns 1; 0 on failure with the render's texts, "ka_render_*_rgba: out buffer too
 * small" (checked after the render, which then already counts as the last one) or the
 * texts of ka_paste_last. */
KA_API int ka_render_kp_rgba(ka_ctx* ctx, int si, const float* kp_source,
                             const float* kp_driving, uint8_t* out, size_t cap);
KA_API int ka_render_drive_rgba(ka_ctx* ctx, int row, uint8_t* out, size_t cap);

/* Driver frame si as the cursor holds it (no copy), valid until the cursor reuses its
 * slot. NULL on failure ("ka_target_frame: bad args" or "ka_target_frame: " + reason). */
KA_API const uint8_t* ka_target_frame(ka_ctx* ctx, int si);

/* ---- Warp prior reader (needs no context; errors in ka_last_error) --------------- */

typedef struct ka_prior ka_prior;

/* Opens the HEVC warp prior of a bundle, decoding `ahead` frames ahead (< 1 means 2) and
 * keeping `behind` served frames (< 0 means 0); each may be at most 1024 (more is
 * refused). NULL on failure ("ka_prior_open: NULL bundle_dir" or
 * "ka_prior_open: " + reason). */
KA_API ka_prior* ka_prior_open(const char* bundle_dir, int ahead, int behind);
/* Bytes of one prior frame: 3 x crop x crop half floats; 0 for NULL. */
KA_API size_t ka_prior_row_bytes(const ka_prior* prior);
/* Writes prior frame si (planar half-float R, G, B) into out. Returns 1; 0 on failure
 * ("ka_prior_row: NULL prior/out", "ka_prior_row: cap C < row bytes B" or
 * "ka_prior_row: " + reason). */
KA_API int ka_prior_row(ka_prior* prior, int si, uint8_t* out, size_t cap);
/* The decoder in use; "" for NULL. */
KA_API const char* ka_prior_backend(const ka_prior* prior);
KA_API void ka_prior_close(ka_prior* prior);

/* ---- Motion generator (the ka_motion_ family; errors in ka_motion_last_error) ---- */

/* The second audio-to-keypoint engine: the same per-frame contract as ka_a2x (ka_a2x.h)
 * from the members of a motion directory (meta.json, hubert_student.onnx, lmdm.onnx,
 * stitch.onnx and raw float32 tables). Used by one thread at a time. */
typedef struct ka_motion ka_motion;

/* threads: intra-op threads of its networks; ep: NULL or "" for the CPU, "coreml",
 * "coreml-cpu", "coreml-gpu" or "coreml-ane". NULL on failure ("ka_motion_create: ..."). */
KA_API ka_motion* ka_motion_create(const char* motion_dir, int threads, const char* ep);
KA_API void ka_motion_destroy(ka_motion* m);
/* Appends count samples (16 kHz mono float). Returns 1; 0 with "ka_motion_push: bad args /
 * already finished" for NULL arguments, a negative count or a finished stream. */
KA_API int ka_motion_push(ka_motion* m, const float* samples, int count);
/* Marks the end of the audio and completes every remaining frame. 1, or 0 on failure. */
KA_API int ka_motion_finish(ka_motion* m);
/* Frames ready to pull, advancing the networks as far as the audio allows; -1 on
 * failure. */
KA_API int ka_motion_avail(ka_motion* m);
/* Pulls up to max frames: si[max], xs[max * 63], xd[max * 63]. Returns the count; -1 on
 * failure ("ka_motion_pull: bad args" or "ka_motion_pull: " + reason). */
KA_API int ka_motion_pull(ka_motion* m, int* si, float* xs, float* xd, int max);
/* New utterance: start clamped to 0..nt-1, direction < 0 backwards, loop non-zero
 * cyclic (0 ping-pong); all audio and rows cleared. */
KA_API void ka_motion_reset(ka_motion* m, int start, int direction, int loop);
/* 0: frames are emitted once no later chunk can change them; n >= 1: speculative
 * chunks every n frames of new audio; < 0: the interval follows the measured cost. */
KA_API void ka_motion_set_eager(ka_motion* m, int eager);
/* Total frames once finished, else -1. */
KA_API int ka_motion_total(const ka_motion* m);
/* Driver frames (rows of xs_target.bin); 0 for NULL. */
KA_API int ka_motion_nt(const ka_motion* m);
KA_API const char* ka_motion_last_error(void);

/* ---- Feature-conditioned deltas (the ka_fca_ family; errors in ka_fca_last_error) - */

/* An offline audio-to-expression generator: for one whole utterance of 16 kHz mono float
 * speech, one 63-float keypoint delta per 640 samples, from the 8-second speech encoder
 * and a recurrent delta network (inputs "cond" [1, 5376], "prev" [1, 63], "h"
 * [1, 1, 384]; outputs "m" [1, 63], "hn" [1, 1, 384]). Keeps no state between calls.
 * Used by one thread at a time. */
typedef struct ka_fca ka_fca;

/* Opens the speech encoder (input "input_values" [1, 128000], output "audio_emb"
 * [layers, 200, 768]) and the delta network. threads < 1 uses the library's worker
 * count. NULL on failure ("ka_fca_create: " + reason). */
KA_API ka_fca* ka_fca_create(const char* encoder_path, const char* delta_path, int threads);
/* Writes F = ceil(count / 640) rows of 63 floats into out[capacity * 63] and returns F;
 * 0 when count < 1. -1 when capacity < F (out untouched, no text) or on failure
 * ("ka_fca_deltas: " + reason). */
KA_API int ka_fca_deltas(ka_fca* f, const float* samples, int count, float* out, int capacity);
KA_API const char* ka_fca_last_error(void);
KA_API void ka_fca_destroy(ka_fca* f);

/* ---- Offline stream run (the ka_stream_ family; errors in ka_stream_last_error) ---- */

/* Renders a whole utterance into finished frames in one call, for hosts that render
 * offline (files, previews, batch jobs). Owns its own context (model key "render") and
 * delta generator (the bundle's fca_stream.onnx); the bundle also carries
 * xs_target.bin, the source keypoints of every driver frame (NT x 63 float32). Used by
 * one thread at a time, but for ka_stream_cancel, which stops a run from anywhere.
 *
 *     void on_frame(void* user, int frame, const uint8_t* rgb, int w, int h) {
 *       write_frame(user, rgb);  // rgb is reused for the next frame: copy what you keep
 *     }
 *     ka_stream* st = ka_stream_create("/data/alice", "/models/w2v.onnx", 0, 0, 1.0f);
 *     if (!st) { fprintf(stderr, "%s\n", ka_stream_last_error()); return 1; }
 *     int n = ka_stream_run(st, speech, count, on_frame, file);  // 16 kHz mono float
 *     if (n < 0) fprintf(stderr, "%s\n", ka_stream_last_error());
 *     ka_stream_destroy(st);
 */
typedef struct ka_stream ka_stream;

/* Called on the caller's thread once per delivered frame, in order: frame number from
 * 0, width x height RGB24 pixels (valid during the call only). */
typedef void (*ka_stream_frame_cb)(void* user, int frame, const uint8_t* rgb, int width,
                                   int height);

/* Opens the bundle and its delta generator. drop: leading frames not delivered (>= 0);
 * gain: scale of the predicted deltas (finite). NULL on failure: "ka_create: ...",
 * "ka_fca_create: ...", "ka_stream_create: cannot read xs_target.bin (NT*63 f32)" or
 * "ka_stream_create: " + reason. */
KA_API ka_stream* ka_stream_create(const char* bundle_dir, const char* encoder_path,
                                   int threads, int drop, float gain);
/* What ka_stream_run and ka_stream_write_movie return when ka_stream_cancel stopped them
 * (their text: "ka_stream_run: cancelled after N frames", "ka_stream_write_movie:
 * cancelled after N of M frames, nothing written"). */
#define KA_STREAM_CANCELLED (-2)

/* Renders ceil(count / 640) frames, drops the first `drop`, and hands every other one to
 * on_frame. Rendering runs on a thread of its own at most 4 frames ahead of pasting.
 * Returns the number of frames delivered, 0 when none is left after dropping, -1 on
 * failure ("ka_stream_run: render/paste failed (...)" after delivering every frame
 * before the failed one, "ka_fca_deltas: ..." or "ka_stream_run: " + reason),
 * KA_STREAM_CANCELLED when ka_stream_cancel stopped it. */
KA_API int ka_stream_run(ka_stream* st, const float* samples, int count,
                         ka_stream_frame_cb on_frame, void* user);
/* Stops the run in progress on st (ka_stream_run or ka_stream_write_movie). Callable
 * from any thread, the run's own callbacks included, but not racing ka_stream_destroy.
 * The run delivers no frame after it, stops within the frame being rendered (or the
 * speech encoder's window under way) and returns KA_STREAM_CANCELLED; a movie being
 * written is removed. Returns 1 when it reached a run: that call reports the cancel
 * whatever it was doing; 0 when no run was in progress or the movie was already being
 * finished: nothing changes, and the next run is not affected (a host that cancels
 * from another thread while its runner may not have started yet calls it again until
 * the runner returns); -1 for NULL. */
KA_API int ka_stream_cancel(ka_stream* st);
/* Output frame size; 0 for NULL. */
KA_API int ka_stream_width(const ka_stream* st);
KA_API int ka_stream_height(const ka_stream* st);
KA_API const char* ka_stream_last_error(void);
KA_API void ka_stream_destroy(ka_stream* st);

/* Progress of ka_stream_write_movie, on the caller's thread: done = 0 once the speech is
 * read and the total known, then after every frame written. */
typedef void (*ka_stream_progress_cb)(void* user, int done, int total);

/* What ka_stream_write_movie did, filled as it goes (so a failed run tells how far it
 * got). Seconds are wall-clock. */
typedef struct ka_stream_movie_stats {
  int64_t speech_samples; /* speech read, 16 kHz mono */
  int64_t frames;         /* frames written */
  int64_t audio_samples;  /* speech samples muxed: 640 per frame written */
  double read_seconds;    /* decoding and resampling the speech file */
  double run_seconds;     /* deltas, rendering, pasting and encoding every frame */
  double encode_seconds;  /* of run_seconds: converting and encoding frames and speech */
  double finish_seconds;  /* draining the encoders, the trailer, the rename */
} ka_stream_movie_stats;

/* Renders the speech in audio_path (any file FFmpeg reads; resampled to 16 kHz mono)
 * into out_path: H.264 at 25 fps with the speech as an AAC track, 640 samples per frame
 * (the dropped frames' speech left out). The file is written as out_path + ".part" and
 * renamed into place once complete; a failure leaves neither. The same stream and
 * speech give the same bytes. progress and stats may be NULL. Returns the frames
 * written (> 0), -1 on failure: the texts of ka_stream_run, or "ka_stream_write_movie: "
 * + reason (the speech file unreadable, "no frame left to render (...)", the movie
 * unwritable); KA_STREAM_CANCELLED when ka_stream_cancel stopped it (no file is left). */
KA_API int ka_stream_write_movie(ka_stream* st, const char* audio_path, const char* out_path,
                                 ka_stream_progress_cb progress, void* user,
                                 ka_stream_movie_stats* stats);

/* ---- Utterance session (the ka_utt_ family; errors in ka_utt_last_error) ---------- */

/* A real-time session on a context: speech in, finished frames out. Every function may
 * be called from any host thread while the session runs, except ka_utt_destroy, which
 * must not race with other calls on the same session. Destroy sessions before their
 * context.
 *
 * The motion directory picks the engine: with a2x_enc_stream.onnx in it, the streaming
 * audio-to-expression engine, which also needs the speech encoder: $W2V_ONNX or, when
 * that is not set, the path given to ka_a2x_preload_w2v (ka/ka_a2x.h) before the
 * session is created; without it, the motion generator (its networks are all in the
 * directory).
 *
 * Timing: idle frames are made at any time, also while an utterance's first speech
 * frames are being computed, so a host pulling at 25 fps never waits for speech to
 * show video; the first speech frame continues the driver walk where idle got to. It
 * comes the engine's look-ahead after the first push (the streaming engine: its
 * encoder look-ahead or the frontend's right context, whichever is longer, counted in
 * 320 ms blocks; the motion generator: a few frames), plus the idle lead queued ahead
 * of it. */
typedef struct ka_utt ka_utt;

typedef struct ka_utt_opts {
  const char* motion_dir;     /* audio-to-motion members; required */
  int threads;                /* intra-op threads of the motion model; < 1: the context's */
  const char* motion_ep;      /* execution provider of the motion generator; NULL: none */
  const char* steady_model;   /* model key of the chunk renderer; NULL/"": "b24_fp32";
                                 "-": none ($KA_STEADY_MODEL overrides) */
  int eager;                  /* -2 hybrid cadence; < 1 from $KA_UTT_HYBRID; >= 1 fixed */
  double auto_end_s;          /* silence that ends an utterance; 0: 0.6 s; < 0: never */
  int end_ramp_frames;        /* ramp after a natural end; < 1: 6 */
  int interrupt_ramp_frames;  /* ramp after an interruption; < 1: 4 */
} ka_utt_opts;

/* Frame kinds */
#define KA_UTT_IDLE 0
#define KA_UTT_SPEECH 1
#define KA_UTT_RAMP 2

typedef struct ka_utt_frame_info {
  int64_t seq;           /* 0 for the session's first frame, +1 per frame produced */
  int32_t kind;          /* KA_UTT_IDLE, KA_UTT_SPEECH or KA_UTT_RAMP */
  int32_t driver_index;  /* driver frame it was composed on */
  int32_t speech_index;  /* number within its utterance for speech frames, else -1 */
} ka_utt_frame_info;

typedef struct ka_utt_stats {
  int64_t frames_out;         /* frames pulled by the host */
  int64_t speech_frames_out;  /* of those, speech frames */
  int64_t utterances;         /* utterances whose first speech frame was produced */
  double first_frame_ms;      /* latest utterance: ms from its first push to its first
                                 speech frame being MADE (entering the output ring). A
                                 host sees it later: after the frames queued ahead of it
                                 (up to the idle lead, ka_utt_set_idle_lead) and after
                                 its own pull period. */
  double render_ms;           /* smoothed render time per speech frame */
  int32_t state;              /* 0 idle, 1 speech pending, 2 speaking, 3 ramp */
} ka_utt_stats;

/* Opens a session; NULL on failure ("ka_utt_create: NULL ctx/opts" or
 * "ka_utt_create: " + reason). The motion model loads in the background: poll
 * ka_utt_ready. */
KA_API ka_utt* ka_utt_create(ka_ctx* ctx, const ka_utt_opts* opts);
/* ka_utt_create with every option but motion_dir zero. */
KA_API ka_utt* ka_utt_open(ka_ctx* ctx, const char* motion_dir);
KA_API void ka_utt_destroy(ka_utt* s);
/* 1 ready, 0 still loading, -1 loading failed (the model's text becomes the last error)
 * or NULL session. Audio pushed before 1 is discarded. */
KA_API int ka_utt_ready(ka_utt* s);
/* Appends count >= 0 samples of 16 kHz mono PCM. Returns 1; 0 with
 * "ka_utt_push_audio: bad args". */
KA_API int ka_utt_push_audio(ka_utt* s, const int16_t* samples, int count);
/* The pushed audio is complete: the rest renders, then the end ramp. */
KA_API void ka_utt_end_utterance(ka_utt* s);
/* Barge-in: drops pending audio and every unread frame, then ramps back to idle. */
KA_API void ka_utt_interrupt(ka_utt* s);
/* Unread frames (0..8). */
KA_API int ka_utt_frames_available(ka_utt* s);
/* Idle frames the session keeps made ahead of the host, 1 to 8 (default 3). Each one
 * queued is 40 ms the first speech frame of the next utterance waits behind it, so
 * fewer reacts sooner; but the lead is also the slack the speech has to arrive in:
 * idle stops while the first speech frame is taken and rendered, and the streaming
 * engine then delivers 320 ms blocks whose lateness the host sees as gaps. At the
 * demo size (640x360) on a 2-core machine, 3 kept 25 fps with gaps under 80 ms where
 * 2 let them reach 100-170 ms. Speech and ramp frames still fill all 8 slots of the
 * ring. 1 on success; 0 with "ka_utt_set_idle_lead: bad args" (NULL session) or
 * "ka_utt_set_idle_lead: frames must be 1 to 8". */
KA_API int ka_utt_set_idle_lead(ka_utt* s, int frames);
/* Copies the oldest unread frame (width x height x 3 bytes) into rgb and fills info
 * when not NULL. 1 when a frame was copied, 0 when none is ready (no error) or on
 * failure ("ka_utt_pull_frame: bad args", "ka_utt_pull_frame: buffer too small": the
 * frame stays unread). */
KA_API int ka_utt_pull_frame(ka_utt* s, uint8_t* rgb, size_t cap, ka_utt_frame_info* info);
KA_API void ka_utt_get_stats(ka_utt* s, ka_utt_stats* out);
/* Render failures so far into *failures and the last one's text into text[len]
 * (truncated). -1 when a fatal failure happened, else 0. */
KA_API int ka_utt_render_status(ka_utt* s, int* failures, char* text, size_t len);
KA_API const char* ka_utt_last_error(void);
/* Teeth pass: 0 when none is attached, 1 attached and healthy, -1 failed; counts and
 * the failure text (truncated to len - 1). */
KA_API int ka_utt_tessera_stats(ka_utt* s, int64_t* borrowed, int64_t* refused, char* text,
                                size_t len);
/* 1 with the attached pass's synthesis-weight statistics, else 0 (outputs untouched). */
KA_API int ka_utt_tessera_synth_w(ka_utt* s, double* mean, double* max, int64_t* count);
/* Copies the attached pass's geometry description ("" without one); 1 when attached. */
KA_API int ka_utt_tessera_geometry(ka_utt* s, char* text, size_t len);

/* ---- Teeth members (the ka_tessera_ family) ---------------------------------------
 * Inspection of a bundle's four teeth members without a session. These functions do
 * not use a thread-local error text: the fallible ones copy their message into the
 * caller's err[err_cap] (at most err_cap - 1 bytes and a terminating NUL, when err is
 * not NULL and err_cap > 0). Every function accepts a NULL handle and then returns 0,
 * NULL or "" as stated. */

/* Member slots, in their fixed order: "bank_track", "bank_sidecar", "head_weights",
 * "head_config". ka_tessera_slot_key returns NULL outside 0..3. */
KA_API int ka_tessera_slot_count(void);
KA_API const char* ka_tessera_slot_key(int index);

/* Where a bundle's teeth members are and which are missing. Opening never fails for
 * missing members (they are listed); NULL for a NULL directory or an unresolvable
 * bundle path. */
typedef struct ka_tessera_carriage ka_tessera_carriage;
KA_API ka_tessera_carriage* ka_tessera_carriage_open(const char* bundle_dir);
KA_API void ka_tessera_carriage_close(ka_tessera_carriage* c);
/* 1 when all four members are present / when the manifest carries a tessera block. */
KA_API int ka_tessera_carriage_complete(const ka_tessera_carriage* c);
KA_API int ka_tessera_carriage_declared(const ka_tessera_carriage* c);
/* Resolved path of a slot; "" for a NULL argument or an unknown slot. The text lives in
 * the handle until the next call of this function on it. */
KA_API const char* ka_tessera_carriage_path(ka_tessera_carriage* c, const char* slot_key);
/* The missing slot keys, in slot order; NULL for i out of range. */
KA_API int ka_tessera_carriage_missing_count(const ka_tessera_carriage* c);
KA_API const char* ka_tessera_carriage_missing(const ka_tessera_carriage* c, int i);

/* The four members loaded and validated. NULL on failure with the reason in err. */
typedef struct ka_tessera_members ka_tessera_members;
KA_API ka_tessera_members* ka_tessera_members_open(const char* bundle_dir, char* err, int err_cap);
KA_API void ka_tessera_members_close(ka_tessera_members* m);
KA_API int32_t ka_tessera_members_n_donors(const ka_tessera_members* m);
KA_API int32_t ka_tessera_members_band_w(const ka_tessera_members* m);
KA_API int32_t ka_tessera_members_band_h(const ka_tessera_members* m);
/* n_donors x band_h x band_w x 3: the decoded bank's size in bytes. */
KA_API int64_t ka_tessera_members_band_bytes(const ka_tessera_members* m);
/* Donor centres (2 x n_donors: x, y per donor) and apertures (n_donors); NULL when empty. */
KA_API const double* ka_tessera_members_cent(const ka_tessera_members* m);
KA_API const double* ka_tessera_members_aperture(const ka_tessera_members* m);
/* The bank's canonical centre (x, y) and the 12-value geometry stamp. */
KA_API const double* ka_tessera_members_c_canon(const ka_tessera_members* m);
KA_API const int32_t* ka_tessera_members_stamp(const ka_tessera_members* m);
/* The head weights file (NULL when empty) and its length. */
KA_API const uint8_t* ka_tessera_members_head_pt(const ka_tessera_members* m);
KA_API int ka_tessera_members_head_pt_len(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_head_json(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_manifest_json(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_track_path(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_container(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_codec(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_pix_fmt(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_packing(const ka_tessera_members* m);
/* Copies a decoded bank from track order into donor order; both buffers hold
 * ka_tessera_members_band_bytes bytes. 0 on success, 1 with the reason in err. */
KA_API int ka_tessera_members_reorder(const ka_tessera_members* m, const uint8_t* track,
                                      uint8_t* out, char* err, int err_cap);

/* ---- Teeth pass (session attach and offline run) ------------------------------------
 * Both report errors through the caller's buffer: at most err_cap - 1 bytes and a
 * terminating zero when err is non-null and err_cap > 0; 0 on success, 1 on failure.
 * Array sizes are the caller's to get right (see each argument).
 *
 * ka_utt_tessera_attach arms a session with a teeth pass: from then on every rendered
 * crop goes through it. bank: n_donors x band_h x band_w x 3 bytes in donor order (see
 * ka::tessera::decodeBankTrack); cent: 2 x n_donors doubles (x, y); c_canon: 2 doubles;
 * aperture: n_donors doubles; stamp: the 12 int32 of the geometry stamp; head_pt: the
 * head checkpoint; head_json: its configuration text; manifest_json: the bundle's
 * manifest text. A second attach replaces the first and restarts its counters. */
KA_API int ka_utt_tessera_attach(ka_utt* s, const uint8_t* bank, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture,
                                 const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                                 const char* head_json, const char* manifest_json, char* err,
                                 int err_cap);
/* ka_utt_tessera_attach_bundle arms a session with the teeth members of bundle_dir in
 * one call: opens and checks them as ka_tessera_members_open does, decodes the donor
 * bank track into donor order and attaches as ka_utt_tessera_attach does. A refusal of
 * any step comes back as "ka_utt_tessera_attach_bundle: <reason>". */
KA_API int ka_utt_tessera_attach_bundle(ka_utt* s, const char* bundle_dir, char* err, int err_cap);
/* Runs the pass over n_frames canvases (canvas_w x canvas_h x 3 bytes each) with their
 * masks (canvas_w x canvas_h bytes each). shifts: null, or n_frames (dy, dx) pairs, a dy
 * of -10000 meaning "derive it from the mask". out_windows: n_frames windows of
 * window_h x window_w x 3 bytes (a skipped frame's slot is left untouched);
 * out_skipped: n_frames int32, 1 where the frame was not borrowed. */
KA_API int ka_tessera_run_shift(const uint8_t* bank, int n_donors, const double* cent,
                                const double* c_canon, const double* aperture,
                                const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                                const char* head_json, const uint8_t* frames,
                                const uint8_t* masks, const int32_t* shifts, int n_frames,
                                uint8_t* out_windows, int32_t* out_skipped, char* err,
                                int err_cap);
/* ka_tessera_run_shift with shifts null. */
KA_API int ka_tessera_run(const uint8_t* bank, int n_donors, const double* cent,
                          const double* c_canon, const double* aperture, const int32_t* stamp,
                          const uint8_t* head_pt, int head_pt_len, const char* head_json,
                          const uint8_t* frames, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, int32_t* out_skipped, char* err, int err_cap);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* KA_KA_H */
