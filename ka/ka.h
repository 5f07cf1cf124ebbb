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
 *  - Threads: a context is used by one thread at a time; error texts are per thread.
 *  - Keypoints cross the interface as sets of KA_HOST_KP_ROWS rows of (x, y, z) floats.
 *
 * Basic use:
 *
 *     char dir[4096];
 *     if (ka_bundle_resolve_handle("/data/alice.imx", dir, sizeof dir) != 1) {
 *       fprintf(stderr, "%s\n", ka_last_error());
 *       return 1;
 *     }
 *     // dir is now the unpacked bundle directory (the container is unwrapped once and
 *     // reused while it does not change).
 *
 * Check that the header and the loaded library agree:
 *     if (strcmp(ka_version(), KA_VERSION) != 0) ...
 */
#ifndef KA_KA_H
#define KA_KA_H

#include <stddef.h>

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

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* KA_KA_H */
