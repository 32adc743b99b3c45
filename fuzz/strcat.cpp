// qo_asprintf and qo_strcat with the fuzz data as arguments (never as the
// format): the slot always holds exactly what plain appends give.
#include "check.h"
#include "qo.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fuzz(data, size);
    char *s = nullptr;
    std::string expected = fuzz.ConsumeRandomLengthString(64).c_str();
    FUZZ_CHECK(qo_asprintf(&s, "%s", expected.c_str()) ==
               static_cast<int>(expected.size()));
    FUZZ_CHECK(s == expected);

    while (fuzz.remaining_bytes() > 0) {
        switch (fuzz.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            const std::string text = fuzz.ConsumeRandomLengthString(600).c_str();
            qo_strcat(&s, "%s", text.c_str());
            expected += text;
            break;
        }
        case 1: {
            const int n = fuzz.ConsumeIntegral<int>();
            qo_strcat(&s, "[%d]", n);
            expected += "[" + std::to_string(n) + "]";
            break;
        }
        case 2: // an argument that points into the slot's own string
            if (expected.size() < 4096) {
                qo_strcat(&s, "%s", s);
                expected += expected;
            }
            break;
        default: { // the caller shortens the string between appends
            const size_t keep = fuzz.ConsumeIntegralInRange<size_t>(0, expected.size());
            s[keep] = '\0';
            expected.resize(keep);
        }
        }
        FUZZ_CHECK(s == expected);
    }
    qo_free(&s);
    return 0;
}
