/* Allocation helpers of the engine (they abort when memory runs out). */
#ifndef NAEMON_NM_ALLOC_H_INCLUDED
#define NAEMON_NM_ALLOC_H_INCLUDED

#include <stddef.h>
#include <stdlib.h>

/* No extern "C" block here, as in the engine's own header: the engine exports these under
 * their C names, so a C++ module must declare them with C linkage itself before including
 * naemon.h, or it refers to names that no engine provides and is refused at load. */
void *nm_malloc(size_t size);
void *nm_realloc(void *ptr, size_t size);
void *nm_calloc(size_t count, size_t size);
/* A heap copy of s; the caller frees it. */
void *nm_strdup(const char *s);
void *nm_strndup(const char *s, size_t size);
/* *strp gets a new heap string formatted from fmt; the caller frees it. */
void nm_asprintf(char **strp, const char *fmt, ...);
#define nm_free(ptr) do { if (ptr) { free(ptr); ptr = NULL; } } while (0)

#endif
