// Linked into every test binary that runs the virtual programmer: each test's
// boards (in-process and corvane-sim started from it) speak a dialect drawn
// from the test's name, the same from run to run and another for every test,
// so the suite as a whole speaks many and a failure replays. A test that
// needs our usual words asks for them (BoardOptions::dialect).
// $CORVANE_DIALECT_SALT, when set, is mixed in: another run of the suite
// speaks other dialects.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Dialect.h"

namespace {

std::uint64_t Seed(const std::string& name) {
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    const char* salt = std::getenv("CORVANE_DIALECT_SALT");
    for (char c : name + (salt != nullptr ? salt : "")) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return hash == 0 ? 1 : hash;  // 0 would be the usual dialect
}

class DialectPerTest : public testing::EmptyTestEventListener {
    void OnTestSuiteStart(const testing::TestSuite& suite) override {
        corvane::sim::SetDefaultDialect(Seed(suite.name()));
    }
    void OnTestStart(const testing::TestInfo& test) override {
        corvane::sim::SetDefaultDialect(
            Seed(std::string(test.test_suite_name()) + "." + test.name()));
    }
    void OnTestEnd(const testing::TestInfo& test) override {
        if (!test.result()->Failed()) return;
        const auto dialect = corvane::sim::DrawDialect(corvane::sim::DefaultDialectSeed());
        std::printf("[  DIALECT ] the boards spoke %s\n", dialect.Describe().c_str());
    }
};

const bool kListening = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new DialectPerTest);
    return true;
}();

}  // namespace
