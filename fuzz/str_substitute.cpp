// qo_str_substitute against a model: the first occurrence replaced, once.
#include "check.h"
#include "qo.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fuzz(data, size);
    const std::string token = fuzz.ConsumeRandomLengthString(8).c_str();
    const std::string replacement = fuzz.ConsumeRandomLengthString(32).c_str();
    const std::string input = fuzz.ConsumeRemainingBytesAsString().c_str();

    std::string expected = input;
    if (const size_t at = input.find(token); at != std::string::npos)
        expected.replace(at, token.size(), replacement);

    char *out = qo_str_substitute(input.c_str(), token.c_str(), replacement.c_str());
    FUZZ_CHECK(out == expected);
    qo_free(&out);
    return 0;
}
