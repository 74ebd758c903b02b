/* The list file of the name-service module, cached for every thread of a process without a
 * lock: each lookup reads the current snapshot through an atomic pointer, and a changed file
 * is read into a fresh snapshot that replaces it in one step. No lookup ever waits for
 * another, so a child forked while other threads look names up gets a usable cache. */
#ifndef TAMRIN_NSS_SUFFIX_CACHE_H
#define TAMRIN_NSS_SUFFIX_CACHE_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

struct tamrin_suffix_snapshot;

/* Every field but `read` is used only through atomic operations. */
struct tamrin_suffix_cache {
  struct tamrin_suffix_snapshot *current; /* the list of the file last seen, or NULL */
  struct tamrin_suffix_snapshot *retired; /* replaced ones, until no lookup can read them */
  unsigned long epoch;                    /* moves on as the lookups of older epochs end */
  long lookups[2]; /* lookups running now, by the parity of the epoch they began in */
  ssize_t (*read)(int fd, void *buffer, size_t size); /* NULL: read(2) */
};

#define TAMRIN_SUFFIX_CACHE_INITIALIZER \
  { NULL, NULL, 0, {0, 0}, NULL }

/* Whether the file at `path` lists a suffix covering `name` (any host-name text). The file is
 * used only when it is a regular file (a link, FIFO, device, socket or directory is never
 * opened), of at most TAMRIN_SUFFIX_FILE_MAX bytes, read whole at once; it is read again only
 * when its device, inode, size or modification time changed. A file that is missing or cannot
 * be read whole at once covers nothing and is not cached: the next lookup tries again. */
int tamrin_suffix_cache_covers(struct tamrin_suffix_cache *cache, const char *path,
                               const char *name);

/* For the child of fork(), whose one thread is in no lookup: forgets the lookups of the
 * parent's other threads, which do not exist there, so that replaced lists are freed again.
 * Uses no lock and no thread-local storage (whose first use may wait for the loader's lock). */
void tamrin_suffix_cache_after_fork(struct tamrin_suffix_cache *cache);

/* Frees every snapshot; only when no other thread can use the cache any more. */
void tamrin_suffix_cache_clear(struct tamrin_suffix_cache *cache);

#ifdef __cplusplus
}
#endif

#endif
