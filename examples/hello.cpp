// qo from C++: split a list, escape each entry for double quotes, run a
// command with all of them and log the outcome. Build it with the
// CMakeLists.txt beside it, against an installed qo (find_package(qo)).
#include <qo.h>

#include <string>

int main(int argc, char **argv)
{
    qo_log_open(argc > 1 ? argv[1] : "hello.log", 4);

    const char specials[] = "`$\\\"(){}'[]&*?|!#~";
    const char *list = "one,\"two\",$three";
    std::string command = "printf '%s\\n'";
    int cursor = 0;
    while (char *item = qo_strtok(list, ",", &cursor)) {
        char *escaped = qo_stresc(item, specials, '\\', '"');
        command += " \"" + std::string(escaped) + "\"";
        qo_free(&escaped);
        qo_free(&item);
    }
    const int status = qo_system("%s", command.c_str());
    qo_log(1, "ran %s, status %d", command.c_str(), status);
    qo_log_close();
    return status == 0 ? 0 : 1;
}
