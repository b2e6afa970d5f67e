#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

// The words of a command line as corvane-cli and the window read them, so
// that both take an option the same way and say the same when it is wrong.
namespace corvane::station {

// A command line that is wrong; what() is the one-line reason.
class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Walks the options of a command line: "--name=value" and "--name value"
// both give an option its value; "--" ends the options; "-" and anything
// not beginning with '-' is a word, gathered in Words() on the way.
class TArgReader {
public:
    explicit TArgReader(const std::vector<std::string>& args) : FArgs(args) {}

    // Moves to the next option; false when none is left.
    bool NextOption();
    // The option's name ("--chips" of "--chips=3") and the option as written.
    const std::string& Name() const { return FName; }
    const std::string& Arg() const { return FArg; }
    // Its value, the next word when it was not written into the option.
    std::string Value();
    // Refuses a value written into an option that takes none.
    void NoValue() const;
    // Its value as a number from 1.
    int CountValue();

    const std::vector<std::string>& Words() const { return FWords; }

private:
    const std::vector<std::string>& FArgs;
    std::size_t FNext = 0;
    bool FOptionsEnd = false;
    std::string FArg;
    std::string FName;
    std::string FValue;
    bool FInlineValue = false;
    std::vector<std::string> FWords;
};

}  // namespace corvane::station
