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

typedef struct GroupSpan {
    int32_t start;   /* byte offset, or -1 when the group did not take part */
    int32_t end;     /* byte offset just past the group, or -1 */
    uint8_t matched; /* 1 when the group took part, else 0 */
} GroupSpan;

typedef struct AdapterMatch {
    int32_t start;          /* byte offset of the match */
    int32_t end;            /* byte offset just past the match */
    char* match_text;       /* NUL-terminated UTF-8 copy, owned by the array */
    int32_t group_count;    /* capturing groups of the pattern */
    GroupSpan* group_spans; /* group_count records (element 0 is group 1), or null */
} AdapterMatch;

/* Null on failure; then, when error is not null, *error receives a text to be
 * released with free(). On success *error is left alone. */
struct URegularExpression* mysql_regex_compile(const char* pattern, const char* flags,
                                               char** error);

/* Every match, in order; null (and *count 0) when there is none or the call
 * failed. Release with mysql_match_result_free and the same count. */
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
const char* mysql_match_get_text(const AdapterMatch* matches, int32_t i);
int32_t mysql_match_get_group_count(const AdapterMatch* matches, int32_t i);
int32_t mysql_match_get_group_start(const AdapterMatch* matches, int32_t i, int32_t g);
int32_t mysql_match_get_group_end(const AdapterMatch* matches, int32_t i, int32_t g);

#ifdef __cplusplus
}
#endif

#endif
