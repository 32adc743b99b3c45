// The fast paths against the straightforward algorithms, on random input:
// speed must never change a result.
#include "qo.h"
#include "run/streams/qo_run_lines_internal.h"
#include "str/qo_str_scan_internal.h"

#include <cstring>
#include <gtest/gtest.h>
#include <iterator>
#include <malloc.h>
#include <random>
#include <string>
#include <vector>

namespace {

using qo_str_scan::Path;

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

const char *name_of(Path path)
{
    switch (path) {
    case Path::portable:
        return "portable";
    case Path::avx2:
        return "AVX2";
    default:
        return "AVX512BW";
    }
}

// Each test runs on every path, forced; one the CPU lacks is skipped.
class EveryPath : public testing::TestWithParam<Path> {
  protected:
    void SetUp() override
    {
        if (!qo_str_scan::supported(GetParam()))
            GTEST_SKIP() << "this CPU has no " << name_of(GetParam())
                         << ": that path is built but cannot run here";
    }

    std::string escaped(const std::string &input, const std::string &specials,
                        char escape, char quote)
    {
        char *out = qo_str_scan::stresc_using(GetParam(), input.c_str(),
                                              specials.c_str(), escape, quote);
        const size_t used = strlen(out) + 1;
        // The block is trimmed: at most an eighth of it unused (and what
        // the allocator rounds up).
        EXPECT_LE(malloc_usable_size(out) - used, malloc_usable_size(out) / 8 + 24)
            << used;
        std::string result(out);
        qo_free(&out);
        return result;
    }
};

INSTANTIATE_TEST_SUITE_P(Differential, EveryPath,
                         testing::Values(Path::portable, Path::avx2, Path::avx512),
                         [](const auto &info) { return name_of(info.param); });

TEST_P(EveryPath, StrescMatchesTheModel)
{
    std::mt19937 random(99);
    // Around one block, the 4 KiB pages, the texts measured before they
    // are escaped (up to 256 bytes) and the last blocks of longer ones.
    const size_t edges[] = {0,   1,   63,  64,  65,  127, 128,  129,  191, 192,
                            255, 256, 257, 319, 320, 383, 4095, 4096, 4097};
    for (size_t round = 0; round < 600; round++) {
        const size_t length = round < 3 * std::size(edges)
                                  ? edges[round % std::size(edges)]
                                  : (round % 4 == 0 ? random() % 9000 : random() % 300);
        const std::string specials =
            random_bytes(random, 1 + random() % 20, "'\"\\$\x80\xff");
        const std::string input = random_bytes(random, length, specials);
        const char escape = static_cast<char>(1 + random() % 255);
        const char quote = round % 5 == 0 ? ';' : specials[random() % specials.size()];
        ASSERT_EQ(escaped(input, specials, escape, quote),
                  stresc_model(input, specials, escape, quote))
            << "round " << round << ", length " << length;
    }
}

TEST_P(EveryPath, StrescOutgrowingTheFirstBlockMatchesTheModel)
{
    // The first block holds the input and an eighth more: quotes (four
    // bytes each) overflow it early, late, or all along.
    std::mt19937 random(7);
    const std::string plain = random_bytes(random, 20000, "ab");
    for (const size_t length : {300, 1000, 4096, 20000}) {
        for (const unsigned every : {1, 2, 8, 20}) {
            std::string early = plain.substr(0, length), late = early;
            for (size_t i = 0; i < length; i += every) {
                if (i < length / 3)
                    early[i] = '\'';
                else
                    late[i] = '\'';
            }
            for (const std::string &input : {early, late})
                ASSERT_EQ(escaped(input, "'\\", '\\', '\''),
                          stresc_model(input, "'\\", '\\', '\''))
                    << length << " every " << every;
        }
    }
}

TEST_P(EveryPath, ShellQuoteMatchesTheModel)
{
    std::mt19937 random(3);
    for (int round = 0; round < 300; round++) {
        const std::string input =
            random_bytes(random, round % 3 ? random() % 300 : random() % 9000, "'");
        char *out = qo_str_scan::shell_quote_using(GetParam(), input.c_str());
        // Appended, not "'" + model: GCC 12 sees a false overlap (-Wrestrict)
        // in the inlined operator+ in Release builds.
        std::string quoted(1, '\'');
        quoted += stresc_model(input, "'", '\\', '\'');
        quoted += '\'';
        ASSERT_EQ(out, quoted) << round;
        qo_free(&out);
    }
}

TEST(Differential, TheBestPathIsTheWidestTheCpuHas)
{
    const Path best = qo_str_scan::best_path();
    EXPECT_TRUE(qo_str_scan::supported(best));
    EXPECT_EQ(qo_str_scan::best_path(), best);
    for (const Path wider : {Path::avx2, Path::avx512}) {
        if (qo_str_scan::supported(wider)) {
            EXPECT_GE(static_cast<int>(best), static_cast<int>(wider));
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
        std::string input = random_bytes(random, random() % 60, ",; ");
        if (round % 5 == 0) // a field longer than any vector
            input.insert(random() % (input.size() + 1),
                         std::string(random() % 200, 'x'));
        // One separator and a set take different roads.
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

// Lines end at '\n' or '\r', kept; one reaching the bound goes in pieces.
std::vector<std::string> lines_model(const std::string &in)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < in.size();) {
        const size_t end = std::min(in.find_first_of("\n\r", at) + 1, in.size());
        const size_t size = std::min<size_t>(end - at, QO_RUN_LINE_MAX);
        lines.push_back(in.substr(at, size));
        at += size;
    }
    return lines;
}

// The splitter fed as a run feeds it: reads of random sizes appended to
// the unfinished line, which alone stays; the callback stops after stop_at.
TEST(Differential, LinesMatchTheModelOnEverySearch)
{
    using qo_run_lines::Search;
    std::mt19937 random(13);
    std::string text = random_bytes(random, 300000, "\n\r");
    text.insert(100000, std::string(140000, 'x')); // longer than the bound
    const auto model = lines_model(text);
    for (const Search search : {Search::portable, Search::avx2})
        for (const size_t stop_at : {size_t{0}, model.size() / 2}) {
            if (!qo_run_lines::supported(search))
                continue;
            struct Got {
                std::vector<std::string> lines;
                size_t stop_at;
            } got{{}, stop_at};
            bool stop = false;
            qo_run_lines::Lines lines;
            lines.set(
                [](void *context, const char *line, size_t size) {
                    auto *got = static_cast<Got *>(context);
                    got->lines.emplace_back(line, size);
                    return int{got->lines.size() == got->stop_at};
                },
                &got, &stop);
            std::string held;
            for (size_t at = 0; at < text.size();) {
                const size_t n =
                    std::min<size_t>(1 + random() % 5000, text.size() - at);
                const size_t scanned = held.size();
                held.append(text, at, n);
                at += n;
                held.erase(0, lines.feed(search, held.data(), scanned, held.size()));
            }
            lines.finish(held.data(), held.size());
            const auto want =
                stop_at
                    ? std::vector<std::string>(model.begin(), model.begin() + stop_at)
                    : model;
            EXPECT_EQ(got.lines, want) << static_cast<int>(search);
            EXPECT_EQ(stop, stop_at != 0);
        }
}

} // namespace
