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
 *    the same thread. The library never prints it; diagnostics of its own go to
 *    standard error as lines tagged "[ka] ", "[ka-driver] ", ...
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
 * "ka_render_kp_crop: bad args" or "ka_render_kp_crop: " + reason. A failed render
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
 * keeping `behind` served frames (< 0 means 0). NULL on failure ("ka_prior_open: NULL
 * bundle_dir" or "ka_prior_open: " + reason). */
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

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* KA_KA_H */
