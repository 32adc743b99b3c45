/* Prints a fixed list of strings escaped for the shell, once for double
 * and once for single quoting. */
#include "qo.h"

#include <stdio.h>

static const char specials[] = "`$\\\"(){}'[]&*?|!#~";

static const char *const inputs[] = {
    "test with space",
    "test with \\ backslash",
    "test with \" doublequote",
    "test with ' simplequote",
    "test with ~ tilde",
    "test with ? questionmark",
    "test with ! exclammark",
    "test with & ampersand",
    "test with * star",
    "test with | pipe",
    "test with \\' backslash quote",
    "test with nothing SPECIAL 1234",
    "test with rtmp:_ retrieval with rtmpdump and tcpdump \xC2\xAB Zarq's Blog_files",
    NULL,
};

int main(void)
{
    for (int i = 0; inputs[i]; i++) {
        printf("Test %2d Original chain is %s\n", i, inputs[i]);
        char *escaped = qo_stresc(inputs[i], specials, '\\', '"');
        printf("Test %2d Transformed chain (with \") is %s\n", i, escaped);
        qo_free(&escaped);
        escaped = qo_stresc(inputs[i], specials, '\\', '\'');
        printf("Test %2d Transformed chain (with ') is %s\n", i, escaped);
        qo_free(&escaped);
    }
    return 0;
}
