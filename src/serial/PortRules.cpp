#include <string>
#include <vector>

#include "PortScreen.h"
#include "SettingsStore.h"

namespace corvane {

namespace {

// Entries are separated by blanks or commas.
std::vector<std::string> SplitEntries(const std::string& text) {
    std::vector<std::string> entries;
    std::string entry;
    for (char c : text + ' ') {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!entry.empty()) entries.push_back(std::move(entry));
            entry.clear();
        } else {
            entry += c;
        }
    }
    return entries;
}

}  // namespace

TPortRules LoadPortRules(const std::string& fileName) {
    TIniFile file(fileName);
    TPortRules rules;
    rules.ScanOnly = SplitEntries(file.ReadString("Ports", "ScanOnly", ""));
    rules.NeverScan = SplitEntries(file.ReadString("Ports", "NeverScan", ""));
    return rules;
}

}  // namespace corvane
