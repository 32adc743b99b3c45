// qo from C++: split a list, quote each entry as one shell word, run a
// command with all of them and log the outcome. Strings come back as
// std::string, so there is nothing to release; the log entry names this
// file and line without a macro. Build it with the CMakeLists.txt beside
// it, against an installed qo (find_package(qo)).
#include <qo.hpp>

#include <string>

int main(int argc, char **argv)
{
    qo_log_open(argc > 1 ? argv[1] : "hello.log", 4);

    std::string command = "printf '%s\\n'";
    for (const std::string &item : qo::split("one,\"two\",$three", ",")) {
        command += ' ';
        command += qo::shell_quote(item);
    }
    const int status = qo_system("%s", command.c_str());
    qo::log(1, "ran %s: %s", command, qo::status_text(status));
    qo_log_close();
    return status == 0 ? 0 : 1;
}
