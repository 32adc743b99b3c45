// qo_strtok against a model: the same tokens and cursor values, and every
// split ends, within length + 2 calls, with the cursor back at 0.
#include "check.h"
#include "qo.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Steps = std::vector<std::pair<std::string, int>>;

Steps model(const std::string &in, const std::string &separators)
{
    Steps steps;
    size_t at = 0;
    while (at < in.size()) {
        at = std::min(in.find_first_not_of(separators, at), in.size());
        const size_t end = std::min(in.find_first_of(separators, at), in.size());
        steps.emplace_back(in.substr(at, end - at), static_cast<int>(end + 1));
        at = end + 1;
    }
    return steps;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fuzz(data, size);
    const std::string separators = fuzz.ConsumeRandomLengthString(8).c_str();
    const std::string input = fuzz.ConsumeRemainingBytesAsString().c_str();

    Steps steps;
    int cursor = 0;
    while (char *token = qo_strtok(input.c_str(), separators.c_str(), &cursor)) {
        steps.emplace_back(token, cursor);
        qo_free(&token);
        FUZZ_CHECK(steps.size() <= input.size() + 1);
    }
    FUZZ_CHECK(cursor == 0);
    FUZZ_CHECK(steps == model(input, separators));
    return 0;
}
