// A C++11 consumer: the header compiles as C++11 and the library links
// into a C++ program like any C library.
#include <qo.h>

#include <cstdio>
#include <cstring>
#include <string>

int main()
{
    char *word = qo_shell_quote("it's");
    std::string line = std::string("qo ") + qo_version() + ": " + word;
    qo_free(&word);
    std::puts(line.c_str());
    return std::strcmp(qo_version(), QO_VERSION) == 0 ? 0 : 1;
}
