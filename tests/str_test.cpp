#include "qo.h"

#include "support.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr char shell_specials[] = "`$\\\"(){}'[]&*?|!#~";

std::string escaped(const char *input, char quote,
                    const char *specials = shell_specials)
{
    char *out = qo_stresc(input, specials, '\\', quote);
    std::string result(out);
    qo_free(&out);
    return result;
}

struct EscapeCase {
    const char *input, *with_double, *with_single;
};

TEST(Stresc, EscapesEachQuoteModeAsTheShellNeedsIt)
{
    const EscapeCase cases[] = {
        {"", "", ""},
        {"test with space", "test with space", "test with space"},
        {R"(a \ b)", R"(a \\ b)", R"(a \\ b)"},
        {R"(a " b)", R"(a "\"" b)", R"(a \" b)"},
        {"a ' b", R"(a \' b)", R"(a '\'' b)"},
        // An escape byte already in the input is escaped in turn.
        {R"(a \' b)", R"(a \\\' b)", R"(a \\'\'' b)"},
        {"$(x) `y` {z} [w] & * ? | ! # ~",
         R"(\$\(x\) \`y\` \{z\} \[w\] \& \* \? \| \! \# \~)",
         R"(\$\(x\) \`y\` \{z\} \[w\] \& \* \? \| \! \# \~)"},
        // Bytes of multibyte characters pass through untouched.
        {"caf\xC3\xA9 \xC2\xAB'", "caf\xC3\xA9 \xC2\xAB\\'",
         "caf\xC3\xA9 \xC2\xAB'\\''"},
        {"; < > \n\t", "; < > \n\t", "; < > \n\t"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(escaped(c.input, '"'), c.with_double) << c.input;
        EXPECT_EQ(escaped(c.input, '\''), c.with_single) << c.input;
    }
}

TEST(Stresc, QuoteOutsideTheSpecialSetIsAPlainByte)
{
    EXPECT_EQ(escaped("it's $x", '\'', "$"), "it's \\$x");
    EXPECT_EQ(escaped("abc", 'b', "b"), "ab\\bbc"); // any byte can be the quote
}

TEST(Stresc, NQuotesGrowToFourN)
{
    const std::string quotes(1000, '\'');
    const std::string result = escaped(quotes.c_str(), '\'');
    ASSERT_EQ(result.size(), 4000u);
    for (size_t i = 0; i < result.size(); i += 4)
        ASSERT_EQ(result.compare(i, 4, R"('\'')"), 0) << i;
}

[[maybe_unused]] void limit_data(rlim_t bytes)
{
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_DATA, &limit);
}

TEST(Stresc, ExhaustionNamesThisLibrarysOwnCallSite)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory defeats RLIMIT_DATA";
#else
    qo_test::ScratchPath log;
    const std::string quotes(16 << 20, '\'');
    EXPECT_EXIT(
        {
            qo_log_open(log.c_str(), 1);
            limit_data(48 << 20); // room for small blocks, not the 64 MiB result
            qo_stresc(quotes.c_str(), "'", '\\', '\'');
        },
        testing::ExitedWithCode(255),
        testing::Eq("Unable to alloc memory in qo_malloc\n"));
    EXPECT_TRUE(std::regex_match(
        log.contents(),
        std::regex("DBG1: lib/str/qo_str\\.cpp->qo_malloc#[0-9]+: "
                   "Unable to alloc memory in qo_malloc\nExiting...\n")))
        << log.contents();
#endif
}

// The whole split, token by token, with the cursor after each call.
std::vector<std::pair<std::string, int>> split(const char *input,
                                               const char *separators, int cursor = 0)
{
    std::vector<std::pair<std::string, int>> steps;
    for (int guard = 0; guard < 100; guard++) {
        char *token = qo_strtok(input, separators, &cursor);
        steps.emplace_back(token ? token : "<end>", cursor);
        if (!token)
            break;
        qo_free(&token);
    }
    return steps;
}

using Steps = std::vector<std::pair<std::string, int>>;

TEST(Strtok, TrailingSeparatorsYieldOneEmptyToken)
{
    EXPECT_EQ(split("a,b,,", ","), (Steps{{"a", 2}, {"b", 4}, {"", 6}, {"<end>", 0}}));
    EXPECT_EQ(split("a,b,", ","), (Steps{{"a", 2}, {"b", 4}, {"<end>", 0}}));
    EXPECT_EQ(split("a", ","), (Steps{{"a", 2}, {"<end>", 0}}));
}

TEST(Strtok, LeadingAndRepeatedSeparatorsAreSkipped)
{
    EXPECT_EQ(split(",,ab,,cd", ","), (Steps{{"ab", 5}, {"cd", 9}, {"<end>", 0}}));
    EXPECT_EQ(split(" \tx y", " \t"), (Steps{{"x", 4}, {"y", 6}, {"<end>", 0}}));
}

TEST(Strtok, CursorOutsideTheStringOrMissingTextEndsTheSplit)
{
    EXPECT_EQ(split("abc", ",", 3), (Steps{{"<end>", 0}}));
    EXPECT_EQ(split("abc", ",", 4), (Steps{{"<end>", 0}}));
    EXPECT_EQ(split("abc", ",", -1), (Steps{{"<end>", 0}}));
    EXPECT_EQ(split("abc", ",", 1), (Steps{{"bc", 4}, {"<end>", 0}}));
    EXPECT_EQ(split("", ","), (Steps{{"<end>", 0}}));
    EXPECT_EQ(split(nullptr, ",", 2), (Steps{{"<end>", 0}}));
    EXPECT_EQ(split("a,b", nullptr, 2), (Steps{{"<end>", 0}}));
    EXPECT_EQ(qo_strtok("a", ",", nullptr), nullptr);
}

// A text of length bytes of fill, that costs a few MiB however long it is:
// one small file mapped over and over, privately, so that the bytes a test
// sets are copied alone.
class LongText {
  public:
    LongText(size_t length, char fill) : size_(length + 2)
    {
        constexpr size_t chunk = 4 << 20;
        void *area = mmap(nullptr, size_, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        const int fd = memfd_create("qo-long-text", 0);
        const std::string filled(chunk, fill);
        if (area == MAP_FAILED || fd < 0 || write(fd, filled.data(), chunk) != chunk)
            return;
        text_ = static_cast<char *>(area);
        bool mapped = true;
        for (size_t at = 0; mapped && at < size_; at += chunk)
            mapped =
                mmap(text_ + at, std::min(chunk, size_ - at), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_FIXED, fd, 0) != MAP_FAILED;
        close(fd);
        if (mapped)
            text_[length] = '\0';
        ready_ = mapped;
    }
    ~LongText()
    {
        if (text_)
            munmap(text_, size_);
    }
    LongText(const LongText &) = delete;
    LongText &operator=(const LongText &) = delete;

    bool ready() const { return ready_; }
    const char *c_str() const { return text_; }
    void put(size_t at, const char *bytes) { memcpy(text_ + at, bytes, strlen(bytes)); }

  private:
    size_t size_;
    char *text_ = nullptr;
    bool ready_ = false;
};

// Runs of separators long enough to carry the cursor to INT_MAX, with
// short tokens around them (a token is copied: it must stay small).
TEST(Strtok, StopsTheProcessRatherThanWrapTheCursor)
{
    const size_t max = INT_MAX;
    // Ends at INT_MAX - 1: the last token leaves the cursor at INT_MAX.
    LongText fits(max - 1, ',');
    if (!fits.ready())
        GTEST_SKIP() << "no room to map a 2 GiB text";
    fits.put(0, "x");
    fits.put(max - 3, "ab");
    EXPECT_EQ(split(fits.c_str(), ","),
              (Steps{{"x", 2}, {"ab", INT_MAX}, {"<end>", 0}}));

    // "b" ends at INT_MAX, one byte too far; "c" would be lost behind it.
    LongText too_long(max + 2, ',');
    if (!too_long.ready())
        GTEST_SKIP() << "no room to map a 2 GiB text";
    too_long.put(0, "x");
    too_long.put(max - 1, "b,c");
    EXPECT_EXIT(
        {
            alarm(60);
            int cursor = 0;
            char *first = qo_strtok(too_long.c_str(), ",", &cursor);
            fprintf(stderr, "%s %d\n", first, cursor);
            qo_strtok(too_long.c_str(), ",", &cursor);
        },
        testing::ExitedWithCode(255),
        testing::Eq("x 2\nqo_strtok: text too long for the cursor\n"));
}

std::string substituted(const char *input, const char *token, const char *replacement)
{
    char *out = qo_str_substitute(input, token, replacement);
    std::string result(out);
    qo_free(&out);
    return result;
}

TEST(StrSubstitute, ReplacesOnlyTheFirstOccurrenceAsPlainText)
{
    EXPECT_EQ(substituted("test with _ERR_", "_ERR_", "ERROR FOUND !"),
              "test with ERROR FOUND !");
    EXPECT_EQ(substituted("a-b-c", "-", "+"), "a+b-c");
    EXPECT_EQ(substituted("abc", "x", "y"), "abc");
    EXPECT_EQ(substituted("abc", "", "<"), "<abc");
    EXPECT_EQ(substituted("abc", "abc", ""), "");
    EXPECT_EQ(substituted("%d %s X %n", "X", "%s%%"), "%d %s %s%% %n");
}

std::string stripped(std::string text)
{
    qo_strip_spaces(text.data());
    return text.c_str();
}

TEST(StripSpaces, RemovesControlBytesAndBlanksAtBothEnds)
{
    EXPECT_EQ(stripped(""), "");
    EXPECT_EQ(stripped("   "), "");
    EXPECT_EQ(stripped(" a "), "a");
    EXPECT_EQ(stripped("a"), "a");
    EXPECT_EQ(stripped("\t\n\r\x01 in  side \x1f\x20\n"), "in  side");
    qo_strip_spaces(nullptr);
}

TEST(StripSpaces, KeepsBytesOfCharacters)
{
    EXPECT_EQ(stripped("caf\xC3\xA9 "), "caf\xC3\xA9");
    EXPECT_EQ(stripped(" \xC3\xBC"
                       "ber"),
              "\xC3\xBC"
              "ber");
    EXPECT_EQ(stripped("\xA0x\xA0"), "\xA0x\xA0");
    EXPECT_EQ(stripped("\x7F"), "\x7F");
}

TEST(Date, IsCtimeTextInOneStaticBuffer)
{
    const char *first = qo_date();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(strlen(first), 25u);
    EXPECT_EQ(first[24], '\n');
    EXPECT_EQ(qo_date(), first);
}

} // namespace
