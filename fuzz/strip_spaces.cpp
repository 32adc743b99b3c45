// qo_strip_spaces: the result is the input less its blanks (0x01-0x20) at
// both ends, nothing else is touched, and stripping twice changes nothing.
#include "check.h"
#include "qo.h"

#include <string>

namespace {

bool blank(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input =
        std::string(reinterpret_cast<const char *>(data), size).c_str();
    std::string text = input;
    qo_strip_spaces(text.data());
    const std::string once = text.c_str();

    FUZZ_CHECK(input.find(once) != std::string::npos);
    FUZZ_CHECK(once.empty() || (!blank(once.front()) && !blank(once.back())));
    // Every byte from the first non-blank to the last one survives.
    size_t first = 0, end = input.size();
    while (first < end && blank(input[first]))
        first++;
    while (end > first && blank(input[end - 1]))
        end--;
    FUZZ_CHECK(once == input.substr(first, end - first));

    qo_strip_spaces(text.data());
    FUZZ_CHECK(once == text.c_str());
    return 0;
}
