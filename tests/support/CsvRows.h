#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane::test {

using TCsvRows = std::vector<std::vector<std::string>>;

// The station's log as a spreadsheet reads it, independent of the writer:
// a byte order mark first, quoted fields that may hold commas, doubled
// quotes and line ends, rows that end in CR LF. `whole`: the text ends
// with a whole row (no open quote, nothing after the last CR LF).
inline TCsvRows ReadCsv(std::string_view text, bool& whole) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    TCsvRows rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string& field = rows.back().back();
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += text[++i];
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.emplace_back(1);
            ++i;
        } else {
            field += c;
        }
    }
    whole = !quoted && rows.back() == std::vector<std::string>(1);
    if (rows.back() == std::vector<std::string>(1)) rows.pop_back();  // after the last CR LF
    return rows;
}

}  // namespace corvane::test
