/* Prints a fixed table of strings with their first token substituted. */
#include "qo.h"

#include <stdio.h>

static const char *const inputs[] = {"test with _ERR_", "test with CDROM", NULL};
static const char *const tokens[] = {"_ERR_", "CDROM", NULL};
static const char *const replacements[] = {
    "ERROR FOUND !", "which cdrom device do you want to use", NULL};

int main(void)
{
    for (int i = 0; inputs[i]; i++) {
        printf("Test %2d Original chain is %s\n", i, inputs[i]);
        char *result = qo_str_substitute(inputs[i], tokens[i], replacements[i]);
        printf("Test %2d Transformed chain (with \") is %s\n", i, result);
        qo_free(&result);
    }
    return 0;
}
