#include "qo.h"
#include "support.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

// An allocation no allocator can give must fail as it does without
// AddressSanitizer (NULL), not abort inside the sanitizer.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

using qo_test::ScratchPath;
using testing::Eq;
using testing::ExitedWithCode;

std::string entry(int level, const char *routine, int line, const std::string &message)
{
    return "DBG" + std::to_string(level) + ": " + __FILE__ + "->" + routine + "#" +
           std::to_string(line) + ": " + message + "\n";
}

// AddressSanitizer notes each allocation it refuses on standard error
// ("==pid==WARNING: ..."); everything else must match byte for byte.
std::string without_sanitizer_notes(const std::string &err)
{
    std::string kept;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(start, 2, "==") != 0)
            kept.append(err, start, end - start);
        start = end;
    }
    return kept;
}

class Mem : public ::testing::Test {
  protected:
    void SetUp() override { qo_log_open(log.c_str(), 8); }
    void TearDown() override { qo_log_close(); }
    std::string logged()
    {
        qo_log_close();
        return log.contents();
    }
    ScratchPath log;
};

// ---- Paths that end the process, each caused for real ----------------------

using MemDeath = Mem;

TEST_F(MemDeath, MallocOfAnImpossibleSize)
{
    volatile size_t huge = SIZE_MAX - 4096;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_malloc(huge), ExitedWithCode(255),
                testing::ResultOf(without_sanitizer_notes,
                                  Eq("Unable to alloc memory in qo_malloc\n")));
    // The call site is the caller's, relative to the source root.
    EXPECT_EQ(logged(), "DBG1: tests/mem_test.cpp->qo_malloc#" + std::to_string(line) +
                            ": Unable to alloc memory in qo_malloc\nExiting...\n");
}

// In the C locale a non-ASCII wide character cannot be converted, so the
// C library's formatting itself fails (EILSEQ), as it does on exhaustion.
const wchar_t unconvertible[] = {0xE9, 0};

TEST_F(MemDeath, AsprintfFormattingFailure)
{
    char *s = nullptr;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_asprintf(&s, "%ls", unconvertible), ExitedWithCode(255),
                Eq("Unable to alloc memory in qo_asprintf\n"));
    EXPECT_EQ(logged(), entry(1, "qo_asprintf", line,
                              "Unable to alloc memory in qo_asprintf\nExiting..."));
}

TEST_F(MemDeath, StrcatFormattingFailure)
{
    char *s = nullptr;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_strcat(&s, "%ls", unconvertible), ExitedWithCode(255),
                Eq("Unable to alloc memory in qo_strcat\n"));
    EXPECT_EQ(logged(), entry(1, "qo_strcat_int", line,
                              "Unable to alloc memory in qo_strcat\nExiting..."));
}

TEST_F(MemDeath, StrcatWithoutASlot)
{
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_strcat(nullptr, "x"), ExitedWithCode(255),
                Eq("Unable to add to a NULL pointer\n"));
    EXPECT_EQ(logged(), entry(1, "qo_strcat_int", line,
                              "Unable to add to NULL pointer\nExiting..."));
}

TEST_F(MemDeath, GetlineReadError)
{
    FILE *dir = fopen("/", "r"); // opens, but every read fails with EISDIR
    ASSERT_NE(dir, nullptr);
    char *s = nullptr;
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_getline(&s, dir), ExitedWithCode(255),
                Eq("Unable to alloc memory in qo_getline\n"));
    fclose(dir);
    EXPECT_EQ(logged(), entry(1, "qo_getline_int", line,
                              "Unable to alloc memory in qo_getline\nExiting..."));
}

TEST_F(MemDeath, SetenvRefusals)
{
    int line = __LINE__ + 1;
    EXPECT_EXIT(qo_setenv(nullptr, "v"), ExitedWithCode(255),
                Eq("Unable to setenv a NULL variable\n"));
    EXPECT_EXIT(qo_setenv("QO_NAME", nullptr), ExitedWithCode(255),
                Eq("Unable to affect a NULL variable\n"));
    EXPECT_EXIT(qo_setenv("A=B", "v"), ExitedWithCode(255),
                Eq("Unable to put in environment\n"));
    EXPECT_EQ(logged(), entry(1, "qo_setenv_int", line,
                              "Unable to setenv a NULL variable\nExiting...") +
                            entry(1, "qo_setenv_int", line + 2,
                                  "Unable to affect NULL to QO_NAME\nExiting...") +
                            entry(1, "qo_setenv_int", line + 4,
                                  "Unable to put A=B in environment"));
}

// ---- Normal use and tolerated misuse ----------------------------------------

TEST_F(Mem, FreeEmptiesTheSlotAndToleratesAnEmptyOne)
{
    char *s = strdup("x");
    qo_free(&s);
    EXPECT_EQ(s, nullptr);
    int line = __LINE__ + 1;
    qo_free(&s);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(logged(), entry(8, "qo_free", line, "Attempt to free NULL pointer"));
}

TEST_F(Mem, MallocNeverReturnsNull)
{
    char *zero = static_cast<char *>(qo_malloc(0));
    EXPECT_NE(zero, nullptr);
    qo_free(&zero);
}

TEST_F(Mem, AsprintfStoresAndReturnsTheLength)
{
    char *s = nullptr;
    EXPECT_EQ(qo_asprintf(&s, "%s-%d", "ab", 5), 4);
    EXPECT_STREQ(s, "ab-5");
    qo_free(&s);
}

TEST_F(Mem, StrcatAppendsAndKeepsPercentSignsPlain)
{
    char *s = nullptr;
    qo_strcat(&s, "x%d", 1);
    EXPECT_STREQ(s, "x1");
    qo_strcat(&s, "y");
    EXPECT_STREQ(s, "x1y");
    qo_free(&s);

    s = strdup("100%");
    qo_strcat(&s, "!");
    EXPECT_STREQ(s, "100%!");
    qo_strcat(&s, "%s", "%d");
    EXPECT_STREQ(s, "100%!%d");

    // A missing format changes nothing and writes nothing.
    const char *no_format = nullptr;
    char *before = s;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    qo_strcat(&s, no_format);
#pragma GCC diagnostic pop
    EXPECT_EQ(s, before);
    qo_free(&s);
    EXPECT_EQ(logged(), "");
}

TEST_F(Mem, GetlineReadsLinesThenEndsWithAnEmptyString)
{
    char text[] = "a\nlast";
    FILE *in = fmemopen(text, strlen(text), "r");
    char *s = nullptr;
    EXPECT_EQ(qo_getline(&s, in), 2);
    EXPECT_STREQ(s, "a\n");
    qo_free(&s);
    EXPECT_EQ(qo_getline(&s, in), 4);
    EXPECT_STREQ(s, "last");
    int line = __LINE__ + 1;
    EXPECT_EQ(qo_getline(&s, in), 0); // slot still full: tolerated
    EXPECT_STREQ(s, "");
    qo_free(&s);
    fclose(in);
    EXPECT_EQ(logged(), entry(1, "qo_getline_int", line,
                              "qo_getline_ found a non freed variable here"));
}

TEST_F(Mem, SetenvReplacesAnExistingValue)
{
    ASSERT_EQ(setenv("QO_TEST_HOME", "/home/x", 1), 0);
    EXPECT_EQ(qo_setenv("QO_TEST_HOME", "/tmp"), 0);
    EXPECT_STREQ(getenv("QO_TEST_HOME"), "/tmp");
    EXPECT_EQ(qo_setenv("QO_TEST_HOME", ""), 0);
    EXPECT_STREQ(getenv("QO_TEST_HOME"), "");
}

TEST_F(Mem, StrResetReplacesTheStringInTheSlot)
{
    char *s = nullptr;
    EXPECT_EQ(qo_str_reset(&s, "%d", 12), 2); // an empty slot is fine, and silent
    EXPECT_STREQ(s, "12");
    EXPECT_EQ(qo_str_reset(&s, "%s", "abc"), 3);
    EXPECT_STREQ(s, "abc");
    qo_free(&s);
    EXPECT_EQ(logged(), "");
}

} // namespace
