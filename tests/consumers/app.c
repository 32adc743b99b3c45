/* A C99 consumer: the header compiles as strict C99, the library links
 * with the C driver alone, and the header matches the library. */
#include <qo.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    char *word = qo_shell_quote("it's");
    char *line = NULL;
    qo_asprintf(&line, "qo %s: %s", qo_version(), word);
    puts(line);
    qo_free(&line);
    qo_free(&word);
    return strcmp(qo_version(), QO_VERSION) == 0 ? 0 : 1;
}
