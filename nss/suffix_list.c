#include "nss/suffix_list.h"

#include <stdlib.h>
#include <string.h>

static int is_label_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

int tamrin_canonical_name(const char *name, size_t length, char *out) {
  if (length > 0 && name[length - 1] == '.') --length;
  if (length == 0 || length > TAMRIN_NAME_MAX) return -1;
  size_t label = 0;
  for (size_t i = 0; i < length; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c == '.') {
      if (label == 0) return -1;
      label = 0;
    } else if (is_label_char(c) && ++label <= 63) {
    } else {
      return -1;
    }
    out[i] = c;
  }
  if (label == 0) return -1;
  out[length] = '\0';
  return (int)length;
}

static int compare_entries(const void *a, const void *b) {
  return strcmp(*(const char *const *)a, *(const char *const *)b);
}

int tamrin_suffix_list_parse(const char *data, size_t size, struct tamrin_suffix_list *list) {
  list->text = NULL;
  list->entries = NULL;
  list->count = 0;
  if (size == 0) return 0;
  /* Each kept suffix takes at least four bytes of the input ("a.b\n"), so size / 2 + 1 entries
   * always suffice, and the canonical text never outgrows the input. */
  char *text = malloc(size + 1);
  const char **entries = malloc((size / 2 + 1) * sizeof *entries);
  if (text == NULL || entries == NULL) {
    free(text);
    free(entries);
    return -1;
  }
  size_t used = 0, count = 0, start = 0;
  while (start < size) {
    const char *line = data + start;
    const char *newline = memchr(line, '\n', size - start);
    size_t length = newline ? (size_t)(newline - line) : size - start;
    start += length + 1;
    while (length > 0 &&
           (line[length - 1] == ' ' || line[length - 1] == '\t' || line[length - 1] == '\r')) {
      --length;
    }
    while (length > 0 && (line[0] == ' ' || line[0] == '\t')) ++line, --length;
    char canonical[TAMRIN_NAME_MAX + 1];
    const int n = tamrin_canonical_name(line, length, canonical);
    if (n < 0 || memchr(canonical, '.', (size_t)n) == NULL) continue;
    memcpy(text + used, canonical, (size_t)n + 1);
    entries[count++] = text + used;
    used += (size_t)n + 1;
  }
  qsort(entries, count, sizeof *entries, compare_entries);
  list->text = text;
  list->entries = entries;
  list->count = count;
  return 0;
}

void tamrin_suffix_list_free(struct tamrin_suffix_list *list) {
  free(list->text);
  free((void *)list->entries);
  list->text = NULL;
  list->entries = NULL;
  list->count = 0;
}

int tamrin_suffix_list_covers(const struct tamrin_suffix_list *list, const char *name) {
  if (list->count == 0) return 0;
  for (const char *suffix = name; suffix != NULL;) {
    if (bsearch(&suffix, list->entries, list->count, sizeof *list->entries, compare_entries)) {
      return 1;
    }
    suffix = strchr(suffix, '.');
    if (suffix != NULL) ++suffix;
  }
  return 0;
}
