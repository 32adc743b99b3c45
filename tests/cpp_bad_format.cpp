// Must not compile: the format wants an int and is given a long.
#include <qo.hpp>

void report(long count)
{
    qo::log(1, "%d items", count);
}
