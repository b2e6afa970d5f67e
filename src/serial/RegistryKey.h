#pragma once

// A key of the Windows registry, as the registry side of the port's settings
// storage (RegistryKey_win.cpp; there is no such key on other systems, where
// TMemoryRegistry stands in). The caller opens the key, hands the object to
// WriteSettingsToRegistry or ReadSettingsFromRegistry, and closes it again.

#include <cstdint>
#include <string>

#include "SettingsStore.h"

namespace corvane {

class TRegistryKey : public TRegistryAccess {
public:
    enum TRootKey : std::uint8_t { rkCurrentUser, rkLocalMachine };

    explicit TRegistryKey(TRootKey Root = rkCurrentUser) : FRoot(Root) {}
    ~TRegistryKey() override;
    TRegistryKey(const TRegistryKey&) = delete;
    TRegistryKey& operator=(const TRegistryKey&) = delete;

    // Opens Path (sub-keys parted by backslashes) under the root for reading
    // and writing; with CanCreate a key that is not there is made. False when
    // it cannot be opened; an open key is closed first either way.
    bool OpenKey(const std::string& Path, bool CanCreate);
    // Opens it for reading only: every write is refused.
    bool OpenKeyReadOnly(const std::string& Path);
    void CloseKey();
    bool IsOpen() const { return FKey != nullptr; }

    // As the registry's own access object gives them: texts as REG_SZ,
    // numbers as REG_DWORD; "Failed to set data for '%s'" when a write is
    // refused, "Failed to get data for '%s'" for a number that is not there
    // or whose data does not fit 4 bytes (a longer text too), "Invalid data
    // type for '%s'" for a value of the other kind. A text value that is not
    // there reads as empty text.
    void WriteString(const std::string& Name, const std::string& Value) override;
    void WriteInteger(const std::string& Name, std::int32_t Value) override;
    std::string ReadString(const std::string& Name) override;
    std::int32_t ReadInteger(const std::string& Name) override;

    bool ValueExists(const std::string& Name) const;
    bool DeleteValue(const std::string& Name);
    // Removes the key Path under the root, with its values (it must have no
    // sub-keys). False when it cannot.
    bool DeleteKey(const std::string& Path);

private:
    bool Open(const std::string& Path, bool CanCreate, bool ReadOnly);

    TRootKey FRoot;
    void* FKey = nullptr;  // HKEY
};

}  // namespace corvane
