/* bare.h - the bare baselines of the micro benchmarks: 0 on success, -1 on failure. */
#ifndef VAK_BENCH_BARE_H_
#define VAK_BENCH_BARE_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int bare_get(const char *locked, const char *stake, const char *text, size_t length);
int bare_release(const char *locked, const char *stake, size_t length);
int bare_lock_cycle(const char *locked, const char *stake, const char *text, size_t length);
int bare_create_cycle(const char *stake, const char *text, size_t length);
int bare_link_dance(const char *side, const char *dirlock, const char *stake);
int bare_replace_cycle(const char *locked, const char *stake, const char *side, const char *dirlock,
                       const char *text, size_t length);

#ifdef __cplusplus
}
#endif

#endif
