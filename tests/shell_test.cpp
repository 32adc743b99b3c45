// Round trips through the real shells: what the library quotes or escapes
// must come back from /bin/sh and bash byte for byte, as one word each.
#include "qo.h"
#include "support.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

using qo_test::ScratchPath;
using Words = std::vector<std::string>;

// What `printf '%s\0' WORD...` prints, split at the NULs.
Words printed_by(const char *shell, const Words &shell_words)
{
    ScratchPath script, out;
    std::string text = "printf '%s\\0'";
    for (const auto &w : shell_words)
        text += " " + w;
    qo_test::write_file(script.c_str(), text + "\n");
    const std::string command =
        std::string(shell) + " " + script.c_str() + " > " + out.c_str();
    EXPECT_EQ(system(command.c_str()), 0) << shell;

    Words words;
    const std::string all = out.contents();
    for (size_t start = 0, end; start < all.size(); start = end + 1) {
        end = all.find('\0', start);
        words.push_back(all.substr(start, end - start));
    }
    return words;
}

// Short strings of the given bytes, with the quote characters drawn often,
// plus one string that holds every one of the bytes.
Words generated(const std::string &alphabet, size_t count)
{
    std::mt19937 random(20261208);
    std::uniform_int_distribution<size_t> length(0, 12), pick(0, alphabet.size() - 1),
        die(0, 7);
    Words words{alphabet};
    while (words.size() < count) {
        std::string w;
        for (size_t n = length(random); n > 0; n--)
            w += die(random) == 0 ? (die(random) < 4 ? '\'' : '"')
                                  : alphabet[pick(random)];
        words.push_back(w);
    }
    return words;
}

std::string all_bytes_but_nul()
{
    std::string bytes;
    for (int c = 1; c < 256; c++)
        bytes += static_cast<char>(c);
    return bytes;
}

std::string shell_quoted(const std::string &word)
{
    char *q = qo_shell_quote(word.c_str());
    std::string result(q);
    qo_free(&q);
    return result;
}

TEST(ShellQuote, WrapsInSingleQuotes)
{
    EXPECT_EQ(shell_quoted(""), "''");
    EXPECT_EQ(shell_quoted("a b;c"), "'a b;c'");
    EXPECT_EQ(shell_quoted("it's"), R"('it'\''s')");
    EXPECT_EQ(shell_quoted("''"), R"(''\'''\''')");
}

TEST(ShellQuote, EveryStringComesBackUnchangedFromShAndBash)
{
    const Words words = generated(all_bytes_but_nul(), 3000);
    Words quoted;
    for (const auto &w : words)
        quoted.push_back(shell_quoted(w));
    for (const char *shell : {"/bin/sh", "/bin/bash"})
        EXPECT_EQ(printed_by(shell, quoted), words) << shell;
}

// qo_stresc's double-quote mode makes an unquoted word of anything but
// the bytes it leaves to the caller: blank, tab, line feed, ';', '<', '>'.
// (And the empty string: an unquoted empty word is no word at all.)
TEST(Stresc, DoubleQuoteModeComesBackUnchangedFromShAndBash)
{
    std::string alphabet;
    for (char c : all_bytes_but_nul())
        if (std::string(" \t\n;<>").find(c) == std::string::npos)
            alphabet += c;
    Words words = generated(alphabet, 3000);
    Words escaped;
    for (auto &w : words) {
        // push_back, not = "x": GCC 12 sees a false overlap (-Wrestrict) in the
        // inlined copy of the assignment in Release builds.
        if (w.empty())
            w.push_back('x');
        char *e = qo_stresc(w.c_str(), "`$\\\"(){}'[]&*?|!#~", '\\', '"');
        escaped.push_back(e);
        qo_free(&e);
    }
    for (const char *shell : {"/bin/sh", "/bin/bash"})
        EXPECT_EQ(printed_by(shell, escaped), words) << shell;
}

} // namespace
