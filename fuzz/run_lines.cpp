// The line splitter against a plain one: the same calls with the same
// bytes, for a stream read in any pieces, with and without the text of an
// unended line handed out when the stream goes quiet, stopped or not by
// the callback, on every way of searching the CPU has.
#include "check.h"
#include "run/streams/qo_run_lines_internal.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t line_max = QO_RUN_LINE_MAX;

struct Read {
    std::string bytes;
    bool quiet; // the pipe had no more at once
};

// The stream as the pipe gives it. Runs of one byte make the lines that
// reach the bound without inputs of that size.
std::vector<Read> reads_of(FuzzedDataProvider &fuzz)
{
    std::vector<Read> reads;
    size_t total = 0;
    while (fuzz.remaining_bytes() > 0 && reads.size() < 64) {
        Read read{{}, fuzz.ConsumeBool()};
        const int parts = fuzz.ConsumeIntegralInRange(1, 4);
        for (int i = 0; i < parts; ++i) {
            // Rare, and of one byte, so that an input stays quick.
            if (fuzz.ConsumeIntegral<uint8_t>() >= 0xf0 && total < 3 * line_max) {
                const size_t n = fuzz.ConsumeIntegralInRange<size_t>(1, line_max + 70);
                read.bytes.append(n, 'x');
                total += n;
            } else {
                read.bytes += fuzz.ConsumeRandomLengthString(96);
            }
        }
        reads.push_back(std::move(read));
    }
    return reads;
}

// The plain splitter: each line in full, cut at the bound, taken one
// search at a time from the bytes not handed out yet.
std::vector<std::string> reference(const std::vector<Read> &reads, bool partial)
{
    std::vector<std::string> calls;
    std::string pending;
    size_t start = 0; // of the bytes not handed out
    auto hand = [&](size_t n) {
        calls.push_back(pending.substr(start, n));
        start += n;
    };
    for (const Read &read : reads) {
        pending.erase(0, start);
        start = 0;
        pending += read.bytes;
        for (size_t end;
             (end = pending.find_first_of("\r\n", start)) != std::string::npos;) {
            for (; end - start >= line_max;)
                hand(line_max);
            hand(end + 1 - start);
        }
        while (pending.size() - start >= line_max)
            hand(line_max);
        if (partial && read.quiet && pending.size() > start)
            hand(pending.size() - start);
    }
    if (pending.size() > start)
        hand(pending.size() - start);
    return calls;
}

struct Seen {
    std::vector<std::string> calls;
    size_t stop_at; // the call that asks for the stop, 0 for none
};

int take(void *context, const char *line, size_t size)
{
    auto *seen = static_cast<Seen *>(context);
    FUZZ_CHECK(size > 0 && size <= line_max);
    seen->calls.emplace_back(line, size);
    return seen->calls.size() == seen->stop_at;
}

// What the reader does: the bytes not handed out stay at the front of its
// buffer, the new ones go after them. Each feed sees exactly the bytes
// read, in a block of their own, so that a read past them is caught.
std::vector<std::string> split(qo_run_lines::Search search,
                               const std::vector<Read> &reads, bool partial,
                               size_t stop_at)
{
    Seen seen{{}, stop_at};
    bool stop = false;
    qo_run_lines::Lines lines;
    lines.set(take, &seen, &stop);
    std::string pending;
    for (const Read &read : reads) {
        const size_t before = pending.size();
        pending += read.bytes;
        char *block = static_cast<char *>(malloc(pending.size() + 1));
        memcpy(block, pending.data(), pending.size());
        const size_t handed = lines.feed(search, block, before, pending.size());
        FUZZ_CHECK(handed <= pending.size());
        pending.erase(0, handed);
        FUZZ_CHECK(stop || pending.size() < line_max);
        FUZZ_CHECK(stop || pending.find_first_of("\r\n") == std::string::npos);
        if (partial && read.quiet && !pending.empty()) {
            lines.finish(block + handed, pending.size());
            pending.clear();
        }
        free(block);
    }
    lines.finish(pending.data(), pending.size());
    FUZZ_CHECK(stop == (stop_at != 0 && seen.calls.size() >= stop_at));
    return seen.calls;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fuzz(data, size);
    const bool partial = fuzz.ConsumeBool();
    const size_t stop_at = fuzz.ConsumeIntegralInRange<size_t>(0, 40);
    const std::vector<Read> reads = reads_of(fuzz);

    std::vector<std::string> expected = reference(reads, partial);
    if (stop_at != 0 && expected.size() > stop_at)
        expected.resize(stop_at);
    for (const auto search :
         {qo_run_lines::Search::portable, qo_run_lines::Search::avx2}) {
        if (!qo_run_lines::supported(search))
            continue;
        FUZZ_CHECK(split(search, reads, partial, stop_at) == expected);
    }
    return 0;
}
