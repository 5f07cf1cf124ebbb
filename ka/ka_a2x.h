/* libka_core audio-to-expression streams (the ka_a2x_ family).
 *
 * Follows the conventions stated at the top of ka/ka.h; this family keeps its own
 * last-error text per thread.
 */
#ifndef KA_KA_A2X_H
#define KA_KA_A2X_H

#include "ka/ka.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An audio-to-expression stream over one bundle. */
typedef struct ka_a2x ka_a2x;

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* KA_KA_A2X_H */
