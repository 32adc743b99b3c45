// qo_shell_quote: one single-quoted word that reads back as the input, the
// same on every path.
#include "check.h"
#include "qo.h"
#include "str/qo_str_scan_internal.h"

#include <cstring>
#include <string>

namespace {

// Reads a word made of single-quoted parts and \' the way the shell does.
bool unquote(const std::string &word, std::string &out)
{
    for (size_t i = 0; i < word.size();) {
        if (word.compare(i, 2, "\\'") == 0) {
            out += '\'';
            i += 2;
        } else if (word[i] == '\'') {
            const size_t end = word.find('\'', i + 1);
            if (end == std::string::npos)
                return false;
            out += word.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            return false; // nothing may stand outside the quotes
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input =
        std::string(reinterpret_cast<const char *>(data), size).c_str();
    char *word = qo_shell_quote(input.c_str());
    std::string back;
    FUZZ_CHECK(unquote(word, back));
    FUZZ_CHECK(back == input);
    FUZZ_CHECK(word[0] == '\'');
    for (const auto path : {qo_str_scan::Path::portable, qo_str_scan::Path::avx2,
                            qo_str_scan::Path::avx512}) {
        if (!qo_str_scan::supported(path))
            continue;
        char *again = qo_str_scan::shell_quote_using(path, input.c_str());
        FUZZ_CHECK(strcmp(again, word) == 0);
        qo_free(&again);
    }
    qo_free(&word);
    return 0;
}
