#include "CommandLine.h"

#include <exception>

namespace corvane::station {

bool TArgReader::NextOption() {
    while (FNext < FArgs.size()) {
        const std::string& arg = FArgs[FNext++];
        if (FOptionsEnd || arg.size() < 2 || arg[0] != '-') {
            FWords.push_back(arg);
            continue;
        }
        FArg = arg;
        FName = arg;
        FValue.clear();
        FInlineValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            FName = arg.substr(0, eq);
            FValue = arg.substr(eq + 1);
            FInlineValue = true;
        }
        if (FName == "--") {
            FOptionsEnd = true;
            continue;
        }
        return true;
    }
    return false;
}

std::string TArgReader::Value() {
    if (FInlineValue) return FValue;
    if (FNext >= FArgs.size()) throw EUsage(FName + " needs a value");
    return FArgs[FNext++];
}

void TArgReader::NoValue() const {
    if (FInlineValue) throw EUsage(FName + " takes no value");
}

int TArgReader::CountValue() {
    const std::string text = Value();
    std::size_t used = 0;
    int count = 0;
    try {
        count = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || count < 1) {
        throw EUsage(FName + " takes a number from 1, not '" + text + "'");
    }
    return count;
}

}  // namespace corvane::station
