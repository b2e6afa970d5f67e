#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "Dialect.h"
#include "HostLine.h"
#include "VirtualProgrammer.h"

namespace corvane::sim {
namespace {

bool Has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// What a host may rely on, whatever the dialect: checked on many seeds.
TEST(Dialect, EveryDrawnDialectKeepsWhatTheProtocolFixes) {
    for (std::uint64_t seed = 0; seed < 3000; ++seed) {
        const Dialect d = DrawDialect(seed);
        SCOPED_TRACE(d.Describe());
        for (int end = 0; end < Dialect::kEnds; ++end) {
            const std::string e = d.Ending(static_cast<Dialect::End>(end));
            ASSERT_EQ(e.find_first_of(">\x11\x13"), e.size() - 1) << "only the prompt, at the end";
        }
        const std::string p = d.ChipText("52", true), used = d.ChipText("52", false);
        const std::string empty = d.ChipText("00", false);
        const std::string sum = d.SumText(0xFF64);
        const std::string eq = sum.substr(sum.find('=') + 2, 4);
        for (const std::string& text :
             {d.greeting, d.greeting2051, p, used, empty, d.eraseOk, d.eraseFailed, d.noChip,
              d.countOk, d.countBad, sum, d.lockOk}) {
            ASSERT_EQ(text.find_first_of(">\x11\x13"), std::string::npos) << text;
        }
        EXPECT_TRUE(Has(d.greeting, "Yarv") && Has(d.greeting2051, "Yarv"));
        EXPECT_TRUE(Has(d.greeting2051, "2051") && !Has(d.greeting, "2051"));
        EXPECT_EQ(p.substr(1, 2), "52");
        EXPECT_NE(p[0], ',');
        EXPECT_GT(empty.find(','), 2u) << "an empty socket's code holds no ','";
        EXPECT_EQ(p[p.find(',') + 1], '0');
        EXPECT_NE(used[used.find(',') + 1], '0');
        EXPECT_TRUE(Has(p, "ok") && Has(used, "ok") && Has(d.eraseOk, "ok") &&
                    Has(d.countOk, "ok"));
        EXPECT_FALSE(Has(d.eraseFailed, "ok") || Has(d.noChip, "ok") || Has(d.countBad, "ok"));
        EXPECT_TRUE(eq == "FF64" || eq == "ff64") << sum;
        EXPECT_FALSE(Has(d.writeLead, "w") || Has(d.writeLead, "\x11"));
    }
}

TEST(Dialect, TheBoardSpeaksItsDialectAndTheLineDamagesOrCutsReplies) {
    BoardOptions o;
    o.dialect = DrawDialect(77);
    VirtualProgrammer board(o);
    board.Start();
    HostLine host(board.PortPath());
    EXPECT_EQ(host.Exchange('\r'),
              o.dialect->Greeting(false) + o.dialect->Ending(Dialect::kGreeting));
    EXPECT_EQ(host.Exchange('s', '\x11'), "s\x11") << "this one echoes the counter's characters";
    const std::string good = o.dialect->ChipText("51", true) + o.dialect->Ending(Dialect::kChip);
    board.ChangeFaults([](Faults& f) { f.damagedReplies = 1; });
    host.Send('p');
    const std::string damaged = host.ReadCount(good.size());
    ASSERT_EQ(damaged.size(), good.size());
    EXPECT_EQ(std::inner_product(good.begin(), good.end(), damaged.begin(), 0, std::plus<>(),
                                 std::not_equal_to<>()),
              1);
    board.ChangeFaults([](Faults& f) { f.cutReplies = 1; });
    host.Send('p');
    const std::string cut = host.Exchange('p');
    EXPECT_TRUE(cut.size() < 2 * good.size() && cut.ends_with(good)) << "the next comes whole";
}

}  // namespace
}  // namespace corvane::sim
