// What the stages of a run used, as the outcome entry tells it: the CPU
// time in whole ms, the peak resident size in the unit that reads best.
#include "run/qo_run_usage_internal.h"

#include <cstdio>

namespace {

void append_size(char **text, long long kib, const qo_run::Site &site) noexcept
{
    constexpr long long mib = 1024, gib = 1024 * mib;
    const auto in = [kib](long long unit) {
        return static_cast<double>(kib) / static_cast<double>(unit);
    };
    if (kib < mib)
        qo_strcat_int(text, site.line, site.file, "%lld KiB", kib);
    else if (kib < gib)
        qo_strcat_int(text, site.line, site.file, "%.1f MiB", in(mib));
    else
        qo_strcat_int(text, site.line, site.file, "%.1f GiB", in(gib));
}

} // namespace

char *qo_run_used::told(const qo_run_usage *usage, size_t count,
                        const qo_run::Site &site) noexcept
{
    char *text = nullptr;
    for (size_t i = 0; i < count; ++i) {
        const long long cpu_ms = (usage[i].user_us + usage[i].system_us + 500) / 1000;
        qo_strcat_int(&text, site.line, site.file, "%s%lld ms CPU, ", i ? " | " : ", ",
                      cpu_ms);
        append_size(&text, usage[i].peak_kib, site);
    }
    return text;
}
