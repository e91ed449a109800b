/* The adapter's header is plain C: a C caller, compiled against it alone,
 * calls each of the eleven functions through the prototypes it declares and
 * writes what it saw, for the C++ side to compare. A prototype that differs
 * from the definition behind it shows here as wrong values. */
#include "engines/mysql/adapter/mysql_adapter.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

int adapter_header_c_calls(char* out, size_t size);

/* Appends to out; 0, or -1 once out is full. */
static int append(char* out, size_t size, size_t* used, const char* format, ...) {
    va_list arguments;
    int written;
    va_start(arguments, format);
    written = vsnprintf(out + *used, size - *used, format, arguments);
    va_end(arguments);
    if (written < 0 || (size_t)written >= size - *used) return -1;
    *used += (size_t)written;
    return 0;
}

int adapter_header_c_calls(char* out, size_t size) {
    size_t used = 0;
    int failed = 0;
    int32_t count = -1;
    int32_t i;
    char* error = NULL;
    struct URegularExpression* handle = mysql_regex_compile("(", "", &error);
    AdapterMatch* matches;
    char* replaced;

    out[0] = '\0';
    failed |= append(out, size, &used, "%s %s;", handle ? "handle" : "null",
                     error ? error : "(no error)");
    free(error);
    mysql_regex_free(handle);

    handle = mysql_regex_compile("(b)(x)?", "i", NULL);
    if (handle == NULL) return -1;
    matches = mysql_regex_matches(handle, "aB\xc3\xa9 b", &count);
    failed |= append(out, size, &used, " %d:", (int)count);
    for (i = 0; i < count; ++i) {
        failed |=
            append(out, size, &used, " %d-%d '%s' %d [%d,%d] [%d,%d]",
                   (int)mysql_match_get_start(matches, i), (int)mysql_match_get_end(matches, i),
                   mysql_match_get_text(matches, i), (int)mysql_match_get_group_count(matches, i),
                   (int)mysql_match_get_group_start(matches, i, 0),
                   (int)mysql_match_get_group_end(matches, i, 0),
                   (int)mysql_match_get_group_start(matches, i, 1),
                   (int)mysql_match_get_group_end(matches, i, 1));
    }
    mysql_match_result_free(matches, count);

    replaced = mysql_regex_replace(handle,
                                   "\xc3\xa9"
                                   "bB",
                                   "<$1>");
    failed |= append(out, size, &used, "; %s", replaced ? replaced : "(null)");
    free(replaced);
    mysql_regex_free(handle);
    return failed;
}
