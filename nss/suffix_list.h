/* The blocked-suffix list of the name-service module: parsing, matching and a cache that
 * re-reads the list file only when it changed. Plain C, no allocation beyond the list itself. */
#ifndef TAMRIN_NSS_SUFFIX_LIST_H
#define TAMRIN_NSS_SUFFIX_LIST_H

#include <pthread.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A list file larger than this is not read at all: it blocks nothing. */
#define TAMRIN_SUFFIX_FILE_MAX (1024 * 1024)
/* The longest host name (without a trailing dot) that is ever matched. */
#define TAMRIN_NAME_MAX 253

/* The suffixes of one list, sorted, each NUL-terminated inside `text`. */
struct tamrin_suffix_list {
  char *text;
  const char **entries;
  size_t count;
};

/* Writes the canonical form of `name` to `out` (size at least TAMRIN_NAME_MAX + 1): ASCII
 * letters lowered, one trailing dot removed. Returns its length, or -1 when `name` is not a
 * host name of letters, digits, '-' and '_' in labels of 1-63 characters. */
int tamrin_canonical_name(const char *name, size_t length, char *out);

/* Parses `size` bytes: one suffix per line, blanks and a '\r' around it ignored. A line that
 * is not a canonical host name with at least two labels is skipped. Returns 0, or -1 when
 * memory ran out (`list` is then empty). `list` is overwritten, not freed. */
int tamrin_suffix_list_parse(const char *data, size_t size, struct tamrin_suffix_list *list);
void tamrin_suffix_list_free(struct tamrin_suffix_list *list);

/* Whether the canonical `name` equals a suffix of the list or lies under one. */
int tamrin_suffix_list_covers(const struct tamrin_suffix_list *list, const char *name);

/* A list read from one file, shared by every thread of the process. */
struct tamrin_suffix_cache {
  pthread_mutex_t lock;
  int known; /* whether the identity fields describe the file the list came from */
  dev_t device;
  ino_t inode;
  off_t size;
  struct timespec modified;
  struct tamrin_suffix_list list;
};

#define TAMRIN_SUFFIX_CACHE_INITIALIZER                        \
  {                                                            \
    PTHREAD_MUTEX_INITIALIZER, 0, 0, 0, 0, {0, 0}, { 0, 0, 0 } \
  }

/* Whether the file at `path` lists a suffix covering `name` (any host-name text). Re-reads the
 * file only when its device, inode, size or modification time changed; a missing, unreadable,
 * oversized or non-regular file covers nothing. Thread-safe. */
int tamrin_suffix_cache_covers(struct tamrin_suffix_cache *cache, const char *path,
                               const char *name);

#ifdef __cplusplus
}
#endif

#endif
