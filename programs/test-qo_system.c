/* Has the shell create a directory, then checks and removes it. Prints one
 * line and ends with status 255 on failure; prints nothing on success. */
#include "qo.h"

#include <dirent.h>
#include <stdio.h>
#include <unistd.h>

#define TEMP_DIR "/tmp/test-qo_sys"

int main(void)
{
    /* Any failure of the command exits with -1: the wait status itself
     * could reach the parent as 0 (256 & 0xFF) and pass for success. */
    if (qo_system("mkdir -p %s", TEMP_DIR) != 0) {
        puts("Unable to create the temp dir");
        return -1;
    }
    DIR *dir = opendir(TEMP_DIR);
    if (!dir) {
        puts("temp dir not created");
        return -1;
    }
    closedir(dir);
    if (rmdir(TEMP_DIR) != 0) {
        puts("Unable to remove the temp dir");
        return -1;
    }
    return 0;
}
