#include "nss/suffix_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nss/suffix_list.h"

/* Immutable once published: the list of one version of the file, and that version. */
struct tamrin_suffix_snapshot {
  dev_t device;
  ino_t inode;
  off_t size;
  struct timespec modified;
  struct tamrin_suffix_list list;
  struct tamrin_suffix_snapshot *next_retired;
  unsigned long retired_in; /* the epoch in which it stopped being current */
};

#define LOAD(field) __atomic_load_n(&(field), __ATOMIC_SEQ_CST)
#define EXCHANGE(field, value) __atomic_exchange_n(&(field), (value), __ATOMIC_SEQ_CST)
#define REPLACE(field, expected, value) \
  __atomic_compare_exchange_n(&(field), (expected), (value), 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)
#define ADD(field, value) __atomic_add_fetch(&(field), (value), __ATOMIC_SEQ_CST)

static void free_snapshot(struct tamrin_suffix_snapshot *snapshot) {
  if (snapshot == NULL) return;
  tamrin_suffix_list_free(&snapshot->list);
  free(snapshot);
}

static int same_file(const struct tamrin_suffix_snapshot *snapshot, const struct stat *st) {
  return snapshot->device == st->st_dev && snapshot->inode == st->st_ino &&
         snapshot->size == st->st_size && snapshot->modified.tv_sec == st->st_mtim.tv_sec &&
         snapshot->modified.tv_nsec == st->st_mtim.tv_nsec;
}

/* Pushes the chain `first` .. `last` onto the retired snapshots. */
static void push_retired(struct tamrin_suffix_cache *cache, struct tamrin_suffix_snapshot *first,
                         struct tamrin_suffix_snapshot *last) {
  struct tamrin_suffix_snapshot *head = LOAD(cache->retired);
  do {
    last->next_retired = head;
  } while (!REPLACE(cache->retired, &head, first));
}

/* For a snapshot just taken out of `current`. */
static void retire(struct tamrin_suffix_cache *cache, struct tamrin_suffix_snapshot *snapshot) {
  snapshot->retired_in = LOAD(cache->epoch);
  push_retired(cache, snapshot, snapshot);
}

/* Counts a lookup in the epoch it begins in and returns that epoch. A lookup that began in
 * epoch e can only read a snapshot retired in e or later. */
static unsigned long enter(struct tamrin_suffix_cache *cache) {
  for (;;) {
    const unsigned long epoch = LOAD(cache->epoch);
    ADD(cache->lookups[epoch & 1], 1);
    if (LOAD(cache->epoch) == epoch) return epoch;
    ADD(cache->lookups[epoch & 1], -1); /* the epoch moved on meanwhile: count in the new one */
  }
}

/* The epoch moves from e to e + 1 only when no lookup of e - 1 runs, so lookups of at most two
 * epochs run at any time, and once it reached e + 2 no lookup that could read a snapshot
 * retired in e runs any more: such snapshots are freed. */
static void reclaim(struct tamrin_suffix_cache *cache) {
  for (int step = 0; step < 2; ++step) {
    unsigned long epoch = LOAD(cache->epoch);
    if (LOAD(cache->lookups[(epoch + 1) & 1]) != 0) break;
    REPLACE(cache->epoch, &epoch, epoch + 1); /* or another thread moved it on */
  }
  const unsigned long now = LOAD(cache->epoch);
  struct tamrin_suffix_snapshot *taken = EXCHANGE(cache->retired, NULL);
  struct tamrin_suffix_snapshot *kept = NULL, *last_kept = NULL;
  while (taken != NULL) {
    struct tamrin_suffix_snapshot *next = taken->next_retired;
    if (now >= taken->retired_in + 2) { /* not so for one retired after `now` was read */
      free_snapshot(taken);
    } else {
      taken->next_retired = kept;
      kept = taken;
      if (last_kept == NULL) last_kept = taken;
    }
    taken = next;
  }
  if (kept != NULL) push_retired(cache, kept, last_kept);
}

/* Reads the regular file at `path` into a new snapshot; NULL when it cannot be read whole at
 * once. An empty or oversized file gives an empty list. */
static struct tamrin_suffix_snapshot *read_snapshot(const struct tamrin_suffix_cache *cache,
                                                    const char *path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return NULL;
  struct tamrin_suffix_snapshot *snapshot = calloc(1, sizeof *snapshot);
  struct stat st;
  char *data = NULL;
  size_t got = 0;
  if (snapshot == NULL || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) goto fail;
  snapshot->device = st.st_dev;
  snapshot->inode = st.st_ino;
  snapshot->size = st.st_size;
  snapshot->modified = st.st_mtim;
  if (st.st_size <= 0 || st.st_size > TAMRIN_SUFFIX_FILE_MAX) goto done;
  data = malloc((size_t)st.st_size);
  if (data == NULL) goto fail;
  while (got < (size_t)st.st_size) {
    const ssize_t n = (cache->read ? cache->read : read)(fd, data + got, (size_t)st.st_size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) goto fail; /* an error, or a file cut short while it was read */
    got += (size_t)n;
  }
  if (tamrin_suffix_list_parse(data, got, &snapshot->list) != 0) goto fail;
done:
  free(data);
  close(fd);
  return snapshot;
fail:
  free(data);
  free(snapshot);
  close(fd);
  return NULL;
}

/* The snapshot for the file described by `st`, the current one when it still describes it. A
 * new snapshot replaces the current one unless another thread replaced it first; then it
 * serves this lookup alone and goes to `*unshared`, for the caller to free. */
static const struct tamrin_suffix_snapshot *snapshot_for(struct tamrin_suffix_cache *cache,
                                                         const char *path, const struct stat *st,
                                                         struct tamrin_suffix_snapshot **unshared) {
  struct tamrin_suffix_snapshot *current = LOAD(cache->current);
  if (current != NULL && same_file(current, st)) return current;
  struct tamrin_suffix_snapshot *fresh = read_snapshot(cache, path);
  if (fresh == NULL) return NULL;
  if (REPLACE(cache->current, &current, fresh)) {
    if (current != NULL) retire(cache, current);
  } else {
    *unshared = fresh;
  }
  return fresh;
}

int tamrin_suffix_cache_covers(struct tamrin_suffix_cache *cache, const char *path,
                               const char *name) {
  char canonical[TAMRIN_NAME_MAX + 1];
  if (tamrin_canonical_name(name, strnlen(name, TAMRIN_NAME_MAX + 2), canonical) < 0) return 0;
  const unsigned long epoch = enter(cache);
  int covered = 0;
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISREG(st.st_mode)) {
    struct tamrin_suffix_snapshot *unshared = NULL;
    const struct tamrin_suffix_snapshot *snapshot = snapshot_for(cache, path, &st, &unshared);
    covered = snapshot != NULL && tamrin_suffix_list_covers(&snapshot->list, canonical);
    free_snapshot(unshared);
  } else if (LOAD(cache->current) != NULL) {
    /* No usable file: the list it had is dropped. */
    struct tamrin_suffix_snapshot *current = EXCHANGE(cache->current, NULL);
    if (current != NULL) retire(cache, current);
  }
  ADD(cache->lookups[epoch & 1], -1);
  if (LOAD(cache->retired) != NULL) reclaim(cache);
  return covered;
}

void tamrin_suffix_cache_after_fork(struct tamrin_suffix_cache *cache) {
  __atomic_store_n(&cache->lookups[0], 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&cache->lookups[1], 0, __ATOMIC_SEQ_CST);
}

void tamrin_suffix_cache_clear(struct tamrin_suffix_cache *cache) {
  free_snapshot(EXCHANGE(cache->current, NULL));
  struct tamrin_suffix_snapshot *taken = EXCHANGE(cache->retired, NULL);
  while (taken != NULL) {
    struct tamrin_suffix_snapshot *next = taken->next_retired;
    free_snapshot(taken);
    taken = next;
  }
}
