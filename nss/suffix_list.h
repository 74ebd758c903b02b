/* The blocked-suffix list of the name-service module: parsing and matching. Plain C, no
 * allocation beyond the list itself. */
#ifndef TAMRIN_NSS_SUFFIX_LIST_H
#define TAMRIN_NSS_SUFFIX_LIST_H

#include <stddef.h>

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

#ifdef __cplusplus
}
#endif

#endif
