#pragma once

#include <stdexcept>
#include <string>

namespace corvane {

// The general exception base: it carries a message text and nothing else.
// Every error the program shows to the user is one of these.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A file that cannot be opened, read, created or written. The message is the
// system's own text for the error number, shown to the user as it stands.
class EInOutError : public Exception {
public:
    EInOutError(int errorCode, const std::string& message)
        : Exception(message), FErrorCode(errorCode) {}
    int ErrorCode() const { return FErrorCode; }

private:
    int FErrorCode;
};

}  // namespace corvane
