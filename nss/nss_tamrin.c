/* libnss_tamrin.so.2: the "tamrin" source of the hosts database. A name equal to or under a
 * suffix listed in /run/tamrin/suffixes resolves to 0.0.0.0 and ::; every other name, and
 * anything the module cannot read or parse at once, is NOTFOUND so the next source answers. A
 * lookup never waits for another thread or for the list; it is safe in a child of fork(). */
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <nss.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>

#include "nss/suffix_cache.h"

/* Only the four entry points leave the module (see nss_tamrin.map); everything else is bound
 * inside it, so a program's own symbol of the same name never takes a call over. */
#define EXPORT __attribute__((visibility("default")))

static const char kListPath[] = "/run/tamrin/suffixes";
static struct tamrin_suffix_cache cache = TAMRIN_SUFFIX_CACHE_INITIALIZER;

static void after_fork_in_child(void) { tamrin_suffix_cache_after_fork(&cache); }

__attribute__((constructor)) static void register_fork_handler(void) {
  pthread_atfork(NULL, NULL, after_fork_in_child);
}

static enum nss_status not_found(int *errnop, int *herrnop) {
  *errnop = ENOENT;
  *herrnop = HOST_NOT_FOUND;
  return NSS_STATUS_NOTFOUND;
}

static enum nss_status too_small(int *errnop, int *herrnop) {
  *errnop = ERANGE;
  *herrnop = NETDB_INTERNAL;
  return NSS_STATUS_TRYAGAIN;
}

/* Hands out `size` bytes of the caller's buffer, aligned for any pointer; NULL when full. */
static void *take(char **buffer, size_t *left, size_t size) {
  const size_t misalign = (uintptr_t)*buffer % sizeof(void *);
  const size_t skip = misalign ? sizeof(void *) - misalign : 0;
  if (*left < skip || *left - skip < size) return NULL;
  void *block = *buffer + skip;
  *buffer += skip + size;
  *left -= skip + size;
  return block;
}

EXPORT enum nss_status _nss_tamrin_gethostbyname4_r(const char *name, struct gaih_addrtuple **pat,
                                                    char *buffer, size_t buflen, int *errnop,
                                                    int *herrnop, int32_t *ttlp) {
  if (!tamrin_suffix_cache_covers(&cache, kListPath, name)) return not_found(errnop, herrnop);
  const size_t name_size = strlen(name) + 1;
  char *copy = take(&buffer, &buflen, name_size);
  struct gaih_addrtuple *tuples = take(&buffer, &buflen, 2 * sizeof *tuples);
  if (copy == NULL || tuples == NULL) return too_small(errnop, herrnop);
  memcpy(copy, name, name_size);
  memset(tuples, 0, 2 * sizeof *tuples);
  tuples[0].name = copy;
  tuples[0].family = AF_INET; /* 0.0.0.0 */
  tuples[0].next = &tuples[1];
  tuples[1].family = AF_INET6; /* :: */
  /* The caller may hand in a first tuple of its own. */
  if (*pat != NULL) {
    **pat = tuples[0];
  } else {
    *pat = &tuples[0];
  }
  if (ttlp != NULL) *ttlp = 0;
  return NSS_STATUS_SUCCESS;
}

static enum nss_status by_name3(const char *name, int af, struct hostent *host, char *buffer,
                                size_t buflen, int *errnop, int *herrnop, int32_t *ttlp,
                                char **canonp) {
  if (af != AF_INET && af != AF_INET6) {
    *errnop = EAFNOSUPPORT;
    *herrnop = NO_DATA;
    return NSS_STATUS_UNAVAIL;
  }
  if (!tamrin_suffix_cache_covers(&cache, kListPath, name)) return not_found(errnop, herrnop);
  const size_t length = af == AF_INET ? sizeof(struct in_addr) : sizeof(struct in6_addr);
  const size_t name_size = strlen(name) + 1;
  char **aliases = take(&buffer, &buflen, sizeof(char *));
  char **addresses = take(&buffer, &buflen, 2 * sizeof(char *));
  char *address = take(&buffer, &buflen, length);
  char *copy = take(&buffer, &buflen, name_size);
  if (aliases == NULL || addresses == NULL || address == NULL || copy == NULL) {
    return too_small(errnop, herrnop);
  }
  memcpy(copy, name, name_size);
  memset(address, 0, length); /* 0.0.0.0 or :: */
  aliases[0] = NULL;
  addresses[0] = address;
  addresses[1] = NULL;
  host->h_name = copy;
  host->h_aliases = aliases;
  host->h_addrtype = af;
  host->h_length = (int)length;
  host->h_addr_list = addresses;
  if (ttlp != NULL) *ttlp = 0;
  if (canonp != NULL) *canonp = copy;
  return NSS_STATUS_SUCCESS;
}

EXPORT enum nss_status _nss_tamrin_gethostbyname3_r(const char *name, int af, struct hostent *host,
                                                    char *buffer, size_t buflen, int *errnop,
                                                    int *herrnop, int32_t *ttlp, char **canonp) {
  return by_name3(name, af, host, buffer, buflen, errnop, herrnop, ttlp, canonp);
}

EXPORT enum nss_status _nss_tamrin_gethostbyname2_r(const char *name, int af, struct hostent *host,
                                                    char *buffer, size_t buflen, int *errnop,
                                                    int *herrnop) {
  return by_name3(name, af, host, buffer, buflen, errnop, herrnop, NULL, NULL);
}

EXPORT enum nss_status _nss_tamrin_gethostbyname_r(const char *name, struct hostent *host,
                                                   char *buffer, size_t buflen, int *errnop,
                                                   int *herrnop) {
  return by_name3(name, AF_INET, host, buffer, buflen, errnop, herrnop, NULL, NULL);
}
