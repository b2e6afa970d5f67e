#pragma once

namespace corvane {

// Stores a changed value and reports whether it changed: a setting is
// reconfigured only when its write really changed it.
template <typename T>
bool Store(T& field, T value) {
    if (field == value) return false;
    field = value;
    return true;
}

}  // namespace corvane
