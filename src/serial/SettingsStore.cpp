#include "SettingsStore.h"

#include <algorithm>
#include <utility>

#include "FileReplace.h"
#include "SettingsText.h"
#include "TextFile.h"

namespace corvane {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// A name that reads back as written: no line breaks, no NUL, no blanks at
// either end (they would be trimmed away on reading).
bool FitsOneLine(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) == s.npos;
}

void CheckSectionName(const std::string& Section) {
    if (Section.empty() || !FitsOneLine(Section) || Section.find(']') != std::string::npos ||
        Trim(Section).size() != Section.size()) {
        throw EIniFileException("Invalid INI section name '" + Section + "'");
    }
}

void CheckKeyName(const std::string& Key) {
    if (Key.empty() || !FitsOneLine(Key) || Key.find('=') != std::string::npos ||
        Key.front() == '[' || Key.front() == ';' || Key.front() == '#' ||
        Trim(Key).size() != Key.size()) {
        throw EIniFileException("Invalid INI key name '" + Key + "'");
    }
}

// Values with blanks at either end, or that are themselves quoted, are
// written in double quotes, which reading takes off again.
std::string QuoteValue(const std::string& Value) {
    const bool quoted = Value.size() >= 2 && Value.front() == '"' && Value.back() == '"';
    if (quoted || Trim(Value).size() != Value.size()) return '"' + Value + '"';
    return Value;
}

std::string UnquoteValue(std::string_view Value) {
    Value = Trim(Value);
    if (Value.size() >= 2 && Value.front() == '"' && Value.back() == '"') {
        Value = Value.substr(1, Value.size() - 2);
    }
    return std::string(Value);
}

}  // namespace

// ---------------------------------------------------------------------------
// TIniAccess

std::int32_t TIniAccess::ReadInteger(const std::string& Section, const std::string& Key,
                                     std::int32_t Default) {
    std::string text = ReadString(Section, Key, "");
    // Hand-edited files may write hexadecimal the C way.
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = "$" + text.substr(2);
    }
    std::int32_t value = Default;
    return TryParseInteger(text, value) ? value : Default;
}

void TIniAccess::WriteInteger(const std::string& Section, const std::string& Key,
                              std::int32_t Value) {
    WriteString(Section, Key, std::to_string(Value));
}

// ---------------------------------------------------------------------------
// TIniFile

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {
    Reload();
}

void TIniFile::Reload() {
    std::string text;
    ReadTextFile(FFileName, text);  // a file that does not exist reads as empty
    Parse(text);
}

void TIniFile::Parse(const std::string& Text) {
    std::vector<TSection> sections(1);  // the lines before the first header
    std::size_t pos = 0;
    while (pos < Text.size()) {
        std::size_t end = Text.find('\n', pos);
        if (end == std::string::npos) end = Text.size();
        std::string_view raw(Text.data() + pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);

        const std::string_view line = Trim(raw);
        if (line.size() >= 2 && line.front() == '[' && line.find(']') != line.npos) {
            sections.push_back({std::string(Trim(line.substr(1, line.rfind(']') - 1))), {}});
            continue;
        }
        TLine entry;
        const std::size_t eq = line.find('=');
        if (!line.empty() && line.front() != ';' && line.front() != '#' && eq != line.npos) {
            entry.IsEntry = true;
            entry.Key = std::string(Trim(line.substr(0, eq)));
            entry.Value = UnquoteValue(line.substr(eq + 1));
        } else {
            entry.Raw = std::string(raw);
        }
        sections.back().Lines.push_back(std::move(entry));
    }
    FSections = std::move(sections);
}

std::string TIniFile::Compose() const {
    std::string text;
    for (const TSection& section : FSections) {
        if (&section != &FSections.front()) text += "[" + section.Name + "]\n";
        for (const TLine& line : section.Lines) {
            text += line.IsEntry ? line.Key + "=" + QuoteValue(line.Value) : line.Raw;
            text += '\n';
        }
    }
    return text;
}

void TIniFile::UpdateFile() const {
    ReplaceFileContents(FFileName, Compose());
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& Name) const {
    // The unnamed lines before the first header are no section.
    for (std::size_t i = 1; i < FSections.size(); ++i) {
        if (SameText(FSections[i].Name, Name)) return &FSections[i];
    }
    return nullptr;
}

TIniFile::TSection* TIniFile::FindSection(const std::string& Name) {
    return const_cast<TSection*>(std::as_const(*this).FindSection(Name));
}

const TIniFile::TLine* TIniFile::FindEntry(const TSection& Section, const std::string& Key) {
    for (const TLine& line : Section.Lines) {
        if (line.IsEntry && SameText(line.Key, Key)) return &line;
    }
    return nullptr;
}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Key,
                                 const std::string& Default) {
    const TSection* section = FindSection(Section);
    const TLine* line = section != nullptr ? FindEntry(*section, Key) : nullptr;
    return line != nullptr ? line->Value : Default;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Key,
                           const std::string& Value) {
    CheckSectionName(Section);
    CheckKeyName(Key);
    if (!FitsOneLine(Value)) {
        throw EIniFileException("Invalid INI value for '" + Key +
                                "': line breaks cannot be stored");
    }
    // Change a copy, so that a failed write leaves the object as the file is.
    std::vector<TSection> before = FSections;
    TSection* section = FindSection(Section);
    if (section == nullptr) {
        // One blank line between the sections, as a person would write it.
        TSection& last = FSections.back();
        const bool fileEmpty = FSections.size() == 1 && last.Lines.empty();
        const bool endsBlank = !last.Lines.empty() && !last.Lines.back().IsEntry &&
                               Trim(last.Lines.back().Raw).empty();
        if (!fileEmpty && !endsBlank) last.Lines.push_back({});
        FSections.push_back({Section, {}});
        section = &FSections.back();
    }
    auto existing =
        std::find_if(section->Lines.begin(), section->Lines.end(),
                     [&Key](const TLine& l) { return l.IsEntry && SameText(l.Key, Key); });
    if (existing != section->Lines.end()) {
        existing->Value = Value;
    } else {
        // After the last line that is not blank, so that the blank lines
        // that part this section from the next stay where they are.
        auto& lines = section->Lines;
        auto insertAt = lines.end();
        while (insertAt != lines.begin()) {
            const TLine& prev = *(insertAt - 1);
            if (prev.IsEntry || !Trim(prev.Raw).empty()) break;
            --insertAt;
        }
        TLine entry;
        entry.IsEntry = true;
        entry.Key = Key;
        entry.Value = Value;
        lines.insert(insertAt, std::move(entry));
    }
    try {
        UpdateFile();
    } catch (...) {
        FSections = std::move(before);
        throw;
    }
}

bool TIniFile::SectionExists(const std::string& Section) const {
    return FindSection(Section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& Section, const std::string& Key) const {
    const TSection* section = FindSection(Section);
    return section != nullptr && FindEntry(*section, Key) != nullptr;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& Section) const {
    std::vector<std::string> keys;
    if (const TSection* section = FindSection(Section)) {
        for (const TLine& line : section->Lines) {
            if (line.IsEntry) keys.push_back(line.Key);
        }
    }
    return keys;
}

// ---------------------------------------------------------------------------
// TMemoryRegistry

bool TMemoryRegistry::TNameLess::operator()(const std::string& a, const std::string& b) const {
    return CompareText(a, b) < 0;
}

void TMemoryRegistry::Put(const std::string& Name, TValue Value) {
    if (FReadOnly || Name.size() > kMaxValueName) {
        throw ERegistryException("Failed to set data for '" + Name + "'");
    }
    auto found = FValues.find(Name);
    if (found != FValues.end()) {
        Value.Order = found->second.Order;
        found->second = std::move(Value);
    } else {
        Value.Order = FNextOrder++;
        FValues.emplace(Name, std::move(Value));
    }
}

void TMemoryRegistry::WriteString(const std::string& Name, const std::string& Value) {
    TValue value;
    value.Type = rdString;
    value.Text = Value;
    Put(Name, std::move(value));
}

void TMemoryRegistry::WriteInteger(const std::string& Name, std::int32_t Value) {
    TValue value;
    value.Type = rdInteger;
    value.Number = Value;
    Put(Name, std::move(value));
}

std::string TMemoryRegistry::ReadString(const std::string& Name) {
    auto found = FValues.find(Name);
    if (found == FValues.end()) return std::string();
    if (found->second.Type != rdString) {
        throw ERegistryException("Invalid data type for '" + Name + "'");
    }
    return found->second.Text;
}

std::int32_t TMemoryRegistry::ReadInteger(const std::string& Name) {
    auto found = FValues.find(Name);
    if (found == FValues.end()) {
        throw ERegistryException("Failed to get data for '" + Name + "'");
    }
    if (found->second.Type != rdInteger) {
        throw ERegistryException("Invalid data type for '" + Name + "'");
    }
    return found->second.Number;
}

bool TMemoryRegistry::ValueExists(const std::string& Name) const {
    return FValues.find(Name) != FValues.end();
}

TRegDataType TMemoryRegistry::GetDataType(const std::string& Name) const {
    auto found = FValues.find(Name);
    return found != FValues.end() ? found->second.Type : rdUnknown;
}

bool TMemoryRegistry::DeleteValue(const std::string& Name) {
    if (FReadOnly) return false;
    return FValues.erase(Name) != 0;
}

std::vector<std::string> TMemoryRegistry::GetValueNames() const {
    std::vector<std::pair<std::size_t, std::string>> ordered;
    for (const auto& [name, value] : FValues) ordered.emplace_back(value.Order, name);
    std::sort(ordered.begin(), ordered.end());
    std::vector<std::string> names;
    for (auto& entry : ordered) names.push_back(std::move(entry.second));
    return names;
}

}  // namespace corvane
