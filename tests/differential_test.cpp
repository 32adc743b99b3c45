// The fast paths against the straightforward algorithms, on random input:
// speed must never change a result.
#include "qo.h"
#include "qo_str_scan.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

using qo_scan::Path;

std::string stresc_model(const std::string &in, const std::string &specials,
                         char escape, char quote)
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

std::string random_bytes(std::mt19937 &random, size_t length,
                         const std::string &favoured)
{
    std::string s;
    while (s.size() < length) {
        const unsigned r = random();
        s += r % 4 == 0 ? favoured[r / 4 % favoured.size()]
                        : static_cast<char>(1 + r % 255);
    }
    return s;
}

TEST(Differential, EveryStrescPathMatchesTheModel)
{
    std::mt19937 random(99);
    for (int round = 0; round < 400; round++) {
        // Lengths around the 64-byte chunks and the 4 KiB blocks.
        const size_t length = round % 4 == 0 ? random() % 9000 : random() % 200;
        const std::string specials =
            random_bytes(random, 1 + random() % 20, "'\"\\$\x80\xff");
        const std::string input = random_bytes(random, length, specials);
        const char escape = static_cast<char>(1 + random() % 255);
        const char quote = specials[random() % specials.size()];
        const std::string expected = stresc_model(input, specials, escape, quote);
        for (Path path : {Path::portable, Path::avx2}) {
            if (!qo_scan::supported(path))
                continue;
            char *out = qo_scan::stresc_using(path, input.c_str(), specials.c_str(),
                                              escape, quote);
            ASSERT_EQ(out, expected) << "round " << round << " path " << int(path);
            qo_free(&out);
        }
    }
}

TEST(Differential, StrcatGrowingInPlaceMatchesPlainAppends)
{
    std::mt19937 random(5);
    char *s = nullptr;
    std::string expected;
    for (int i = 0; i < 3000; i++) {
        // Mostly short texts, now and then one past the on-stack buffer.
        const std::string text(random() % 50 == 0 ? 200 + random() % 400
                                                  : random() % 12,
                               static_cast<char>('a' + i % 26));
        qo_strcat(&s, "%s%d", text.c_str(), i);
        expected += text + std::to_string(i);
        if (i % 500 == 0) { // the caller shortens the string between appends
            s[expected.size() / 2] = '\0';
            expected.resize(expected.size() / 2);
        }
        ASSERT_EQ(s, expected) << i;
    }
    qo_strcat(&s, "%s", s); // arguments may point into the slot's own string
    ASSERT_EQ(s, expected + expected);
    qo_free(&s);
}

std::vector<std::string> strtok_model(const std::string &in,
                                      const std::string &separators)
{
    std::vector<std::string> tokens;
    size_t at = 0;
    while (at < in.size()) {
        at = in.find_first_not_of(separators, at);
        if (at == std::string::npos)
            at = in.size();
        const size_t end = std::min(in.find_first_of(separators, at), in.size());
        tokens.push_back(in.substr(at, end - at));
        at = end + 1;
    }
    return tokens;
}

TEST(Differential, StrtokMatchesTheModel)
{
    std::mt19937 random(11);
    for (int round = 0; round < 500; round++) {
        const std::string input = random_bytes(random, random() % 60, ",; ");
        const std::string separators = random() % 2 ? "," : ",; ";
        std::vector<std::string> tokens;
        int cursor = 0;
        while (char *t = qo_strtok(input.c_str(), separators.c_str(), &cursor)) {
            tokens.push_back(t);
            qo_free(&t);
            ASSERT_LE(tokens.size(), input.size() + 1);
        }
        ASSERT_EQ(cursor, 0);
        ASSERT_EQ(tokens, strtok_model(input, separators)) << input;
    }
}

} // namespace
