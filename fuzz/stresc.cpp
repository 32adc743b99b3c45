// qo_stresc against a model, on every path, and back again: removing the
// escaping must give the input.
#include "check.h"
#include "qo.h"
#include "str/qo_str_scan_internal.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <string>

namespace {

std::string model(const std::string &in, const std::string &specials, char escape,
                  char quote)
{
    std::string out;
    for (char c : in) {
        if (specials.find(c) == std::string::npos)
            out += c;
        else if (c == quote)
            out += {quote, escape, c, quote};
        else
            out += {escape, c};
    }
    return out;
}

// Reads the escaping back. The quote, when special, only ever appears as
// quote escape quote quote; any other special only after the escape.
std::string unescape(const std::string &out, const std::string &specials, char escape,
                     char quote)
{
    const bool quote_special = specials.find(quote) != std::string::npos;
    const auto special = [&](char c) { return specials.find(c) != std::string::npos; };
    std::string in;
    for (size_t i = 0; i < out.size();) {
        if (quote_special &&
            out.compare(i, 4, std::string{quote, escape, quote, quote}) == 0) {
            in += quote;
            i += 4;
        } else if (out[i] == escape && i + 1 < out.size() && special(out[i + 1]) &&
                   !(quote_special && out[i + 1] == quote)) {
            in += out[i + 1];
            i += 2;
        } else {
            in += out[i++];
        }
    }
    return in;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fuzz(data, size);
    const auto escape = static_cast<char>(fuzz.ConsumeIntegralInRange<int>(1, 255));
    const auto quote = static_cast<char>(fuzz.ConsumeIntegralInRange<int>(1, 255));
    // Repeated, a short input reaches the sizes where the output block
    // has to grow.
    const auto copies = fuzz.ConsumeIntegralInRange<int>(1, 64);
    const std::string specials = fuzz.ConsumeRandomLengthString(40).c_str();
    const std::string once = fuzz.ConsumeRemainingBytesAsString().c_str();
    std::string input;
    for (int i = 0; i < copies; i++)
        input += once;

    const std::string expected = model(input, specials, escape, quote);
    char *out = qo_stresc(input.c_str(), specials.c_str(), escape, quote);
    FUZZ_CHECK(out == expected);
    qo_free(&out);
    for (const auto path : {qo_str_scan::Path::portable, qo_str_scan::Path::avx2,
                            qo_str_scan::Path::avx512}) {
        if (!qo_str_scan::supported(path))
            continue;
        out = qo_str_scan::stresc_using(path, input.c_str(), specials.c_str(), escape,
                                        quote);
        FUZZ_CHECK(out == expected);
        qo_free(&out);
    }

    FUZZ_CHECK(unescape(expected, specials, escape, quote) == input);
    return 0;
}
