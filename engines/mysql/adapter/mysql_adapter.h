/* Flat interface of the MySQL-flavour pattern adapter: ICU regular expressions
 * over NUL-terminated UTF-8 strings, with UTF-8 byte offsets.
 *
 * Everything handed out comes from the system allocator. The handle, the
 * match array (with the count it came with) and every string returned here
 * are given back as the function comments say. Failures show as null, 0, -1
 * or, for compilation, an error text; no function throws. */
#ifndef BRINDLECAP_MYSQL_ADAPTER_H
#define BRINDLECAP_MYSQL_ADAPTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ICU's compiled expression; opaque to callers. */
struct URegularExpression;

/* The match array: opaque, read through the accessors below. */
typedef struct AdapterMatch AdapterMatch;

/* Null on failure; then, when error is not null, *error receives a text to be
 * released with free(). On success *error is left alone. */
struct URegularExpression* mysql_regex_compile(const char* pattern, const char* flags,
                                               char** error);

/* Every match, in order; null (and *count 0) when there is none or the call
 * failed. Release with mysql_match_result_free and the same count. The array
 * does not depend on the handle or on the text it was given. */
AdapterMatch* mysql_regex_matches(struct URegularExpression* handle, const char* text,
                                  int32_t* count);

/* The text with every match replaced (ICU replacement syntax), or a copy of
 * the text when the replacement fails. Release with free(). */
char* mysql_regex_replace(struct URegularExpression* handle, const char* text,
                          const char* replacement);

void mysql_regex_free(struct URegularExpression* handle);
void mysql_match_result_free(AdapterMatch* matches, int32_t count);

int32_t mysql_match_get_start(const AdapterMatch* matches, int32_t i);
int32_t mysql_match_get_end(const AdapterMatch* matches, int32_t i);
/* The matched text, NUL-terminated, owned by the array until it is released;
 * "" for an empty match or when no copy can be made. */
const char* mysql_match_get_text(const AdapterMatch* matches, int32_t i);
int32_t mysql_match_get_group_count(const AdapterMatch* matches, int32_t i);
/* -1 for a group that did not take part and for g outside 0 to count - 1;
 * g = 0 is group 1. */
int32_t mysql_match_get_group_start(const AdapterMatch* matches, int32_t i, int32_t g);
int32_t mysql_match_get_group_end(const AdapterMatch* matches, int32_t i, int32_t g);

#ifdef __cplusplus
}
#endif

#endif
