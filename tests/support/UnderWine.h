#pragma once

namespace corvane::testing {

// Whether the test runs under Wine, which does not do all that Windows does
// (a test tells where it leaves something out).
#ifdef _WIN32
bool UnderWine();  // UnderWine_win.cpp
#else
inline bool UnderWine() {
    return false;
}
#endif

}  // namespace corvane::testing
