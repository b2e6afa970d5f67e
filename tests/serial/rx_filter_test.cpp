// The receive filter, fed the byte streams a serial driver gives with
// parity checking on: a pseudo-terminal cannot receive a byte with a parity
// error, so the marks are written here as the driver writes them.

#include <gtest/gtest.h>

#include <string>

#include "device/RxFilter.h"

namespace corvane::device {
namespace {

TEST(RxFilter, MarksAreTakenOutAndErrorBytesKeptOrReplaced) {
    using S = TRxFilter::TSettings;
    struct Case {
        const char* what;
        S settings;
        std::string in, out;
        bool error, eventChar;
    } cases[] = {
        {"no marks: all bytes as they are", S{false, false, 0, false, '>'},
         std::string("\xff\0a", 3), std::string("\xff\0a", 3), false, false},
        {"a doubled 0xFF is one good 0xFF", S{true, false, 0, false, 0},
         "a\xff\xff"
         "b",
         "a\xff"
         "b",
         false, false},
        {"a marked byte is kept as received", S{true, false, '?', false, 0},
         std::string("a\xff\0xb", 5), "axb", true, false},
        {"a marked byte is replaced", S{true, true, '?', false, 0}, std::string("a\xff\0xb", 5),
         "a?b", true, false},
        {"a marked NUL (a break) is replaced", S{true, true, '?', false, 0},
         std::string("\xff\0\0", 3), "?", true, false},
        {"DiscardNull drops NULs, good and marked", S{true, false, 0, true, 0},
         std::string("\0a\xff\0\0b", 6), "ab", true, false},
        {"a replacement NUL is dropped too", S{true, true, '\0', true, 0},
         std::string("\xff\0xc", 4), "c", true, false},
        {"the event character among the bytes", S{false, false, 0, false, '>'}, "ok>", "ok>", false,
         true},
        {"a replacement that is the event character", S{true, true, '>', false, '>'},
         std::string("\xff\0x", 3), ">", true, true},
        {"a dropped NUL is no event character", S{false, false, 0, true, '\0'},
         std::string("a\0", 2), "a", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TRxFilter filter;
        filter.Configure(c.settings);
        std::string queue;
        const auto r = filter.Feed(c.in.data(), c.in.size(), queue);
        EXPECT_EQ(queue, c.out);
        EXPECT_EQ(r.Queued, c.out.size());
        EXPECT_EQ(r.Error, c.error);
        EXPECT_EQ(r.EventChar, c.eventChar);
    }
}

// A mark cut between two reads, at each place it can be cut.
TEST(RxFilter, MarkSplitBetweenReads) {
    const std::string stream(
        "a\xff\0x\xff\xff"
        "b",
        7);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        TRxFilter filter;
        filter.Configure({true, true, '?', false, 0});
        std::string queue;
        filter.Feed(stream.data(), cut, queue);
        filter.Feed(stream.data() + cut, stream.size() - cut, queue);
        EXPECT_EQ(queue,
                  "a?\xff"
                  "b")
            << "cut at " << cut;
    }
    // Discarding the input forgets half a mark.
    TRxFilter filter;
    filter.Configure({true, false, 0, false, 0});
    std::string queue;
    filter.Feed("\xff", 1, queue);
    filter.Reset();
    filter.Feed("z", 1, queue);
    EXPECT_EQ(queue, "z");
}

}  // namespace
}  // namespace corvane::device
