// Must not compile: the view would outlive the temporary text it shows.
#include <qo.hpp>

#include <string_view>

std::size_t quoted_size(const char *name)
{
    std::string_view view = qo::text(qo_shell_quote(name));
    return view.size();
}
