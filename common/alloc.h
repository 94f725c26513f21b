// alloc.h - the allocation helpers behind orviMalloc and orviCopyString.
#ifndef ORV_ALLOC_H_
#define ORV_ALLOC_H_

#include <stddef.h>

namespace orv {

// malloc that reports a failure on standard error.
void *Malloc(size_t size);
// A new heap copy of text; NULL for NULL.
char *CopyString(const char *text);

}  // namespace orv

#endif  // ORV_ALLOC_H_
