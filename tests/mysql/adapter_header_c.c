/* The adapter's header is plain C: a C caller sees the same eleven functions. */
#include "engines/mysql/adapter/mysql_adapter.h"

#include <stddef.h>

int adapter_header_c_functions(void);

int adapter_header_c_functions(void) {
    void (*const functions[])(void) = {
        (void (*)(void))mysql_regex_compile,        (void (*)(void))mysql_regex_matches,
        (void (*)(void))mysql_regex_replace,        (void (*)(void))mysql_regex_free,
        (void (*)(void))mysql_match_result_free,    (void (*)(void))mysql_match_get_start,
        (void (*)(void))mysql_match_get_end,        (void (*)(void))mysql_match_get_text,
        (void (*)(void))mysql_match_get_group_count, (void (*)(void))mysql_match_get_group_start,
        (void (*)(void))mysql_match_get_group_end,
    };
    int present = 0;
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; ++i) present += functions[i] != NULL;
    return present;
}
