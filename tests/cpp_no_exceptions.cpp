// Built with -fno-exceptions -fno-rtti: the standard library throws inside
// a callback, where nothing can catch it. The process must end there.
#include "qo.hpp"

#include <string>
#include <string_view>

int main()
{
    const std::string empty;
    qo::run({"echo", "line"},
            {.on_output = [&](std::string_view) { return empty.at(1) == 'x'; }});
    return 0;
}
