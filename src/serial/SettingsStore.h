#pragma once

// Where the port settings can be stored: an INI file section or a registry
// key. The port's storage operations see them only through the two access
// interfaces; the caller creates the object, opens the file or key and
// closes it again.
//
// TIniFile is a real file on disk. TMemoryRegistry holds the values of one
// open key in memory, since this platform has no registry.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Exception.h"

namespace corvane {

// An INI file that is not valid text for its format, or a name or value
// that cannot be written into one.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

// The registry's refusals, with the platform's messages ("Failed to set data
// for 'Port'" and so on).
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

class TIniAccess {
public:
    virtual ~TIniAccess() = default;

    // An absent key reads as Default.
    virtual std::string ReadString(const std::string& Section, const std::string& Key,
                                   const std::string& Default) = 0;
    virtual void WriteString(const std::string& Section, const std::string& Key,
                             const std::string& Value) = 0;
    // An absent key, or one whose text is no integer, reads as Default.
    virtual std::int32_t ReadInteger(const std::string& Section, const std::string& Key,
                                     std::int32_t Default);
    virtual void WriteInteger(const std::string& Section, const std::string& Key,
                              std::int32_t Value);
};

// An INI file on disk. The file is read when the object is made (a file that
// does not exist reads as empty) and again on Reload(); every write goes back
// to the file at once, by writing a temporary file beside it and renaming it
// over the old one, so a reader never sees half a file. Sections and keys
// keep their order; comments and blank lines are kept. Section and key names
// match without regard to letter case (a to z).
//
// File errors are raised as EInOutError with the system's text.
class TIniFile : public TIniAccess {
public:
    explicit TIniFile(std::string FileName);

    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& Section, const std::string& Key,
                           const std::string& Default) override;
    void WriteString(const std::string& Section, const std::string& Key,
                     const std::string& Value) override;

    bool SectionExists(const std::string& Section) const;
    bool ValueExists(const std::string& Section, const std::string& Key) const;
    // The key names of a section, in file order.
    std::vector<std::string> ReadSection(const std::string& Section) const;

    // Reads the file again, dropping what was read before.
    void Reload();
    // Writes the content to the file (writes already do this themselves).
    void UpdateFile() const;

private:
    struct TLine {
        bool IsEntry = false;
        std::string Key;    // for an entry
        std::string Value;  // for an entry
        std::string Raw;    // for anything else: comments, blank lines
    };
    struct TSection {
        std::string Name;  // empty for the lines before the first section
        std::vector<TLine> Lines;
    };

    const TSection* FindSection(const std::string& Name) const;
    TSection* FindSection(const std::string& Name);
    static const TLine* FindEntry(const TSection& Section, const std::string& Key);
    void Parse(const std::string& Text);
    std::string Compose() const;

    std::string FFileName;
    std::vector<TSection> FSections;
};

// The kind of a registry value.
enum TRegDataType : std::uint8_t { rdUnknown, rdString, rdInteger };

class TRegistryAccess {
public:
    virtual ~TRegistryAccess() = default;

    // A string value (REG_SZ).
    virtual void WriteString(const std::string& Name, const std::string& Value) = 0;
    // A 32-bit number value (REG_DWORD).
    virtual void WriteInteger(const std::string& Name, std::int32_t Value) = 0;
    // An absent value reads as empty text; a number value is refused
    // ("Invalid data type for '%s'").
    virtual std::string ReadString(const std::string& Name) = 0;
    // An absent value is refused ("Failed to get data for '%s'"), and so is a
    // string value ("Invalid data type for '%s'").
    virtual std::int32_t ReadInteger(const std::string& Name) = 0;
};

// The values of one open registry key, in memory. Value names match without
// regard to letter case, as the registry's do. A key opened for reading only
// refuses every write ("Failed to set data for '%s'"), as does a value name
// longer than the registry allows.
class TMemoryRegistry : public TRegistryAccess {
public:
    // The registry's limit on the length of a value name.
    static constexpr std::size_t kMaxValueName = 16383;

    explicit TMemoryRegistry(bool ReadOnly = false) : FReadOnly(ReadOnly) {}

    void WriteString(const std::string& Name, const std::string& Value) override;
    void WriteInteger(const std::string& Name, std::int32_t Value) override;
    std::string ReadString(const std::string& Name) override;
    std::int32_t ReadInteger(const std::string& Name) override;

    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value) { FReadOnly = Value; }

    bool ValueExists(const std::string& Name) const;
    TRegDataType GetDataType(const std::string& Name) const;
    bool DeleteValue(const std::string& Name);
    // The value names, in the order they were first written.
    std::vector<std::string> GetValueNames() const;

private:
    struct TValue {
        TRegDataType Type = rdUnknown;
        std::string Text;
        std::int32_t Number = 0;
        std::size_t Order = 0;
    };
    struct TNameLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    void Put(const std::string& Name, TValue Value);

    bool FReadOnly;
    std::size_t FNextOrder = 0;
    std::map<std::string, TValue, TNameLess> FValues;
};

}  // namespace corvane
