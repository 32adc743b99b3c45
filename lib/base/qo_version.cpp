// The version the library was built as, for programs that load it
// dynamically and want to know which one they got.
#include "qo.h"

extern "C" const char *qo_version(void) noexcept
{
    return QO_VERSION;
}
