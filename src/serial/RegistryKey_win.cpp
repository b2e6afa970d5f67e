#include <windows.h>

#include <algorithm>
#include <vector>

#include "RegistryKey.h"
#include "Win32.h"

namespace corvane {

// A key's path is a name that its caller chooses (wide calls); value names
// and texts are the settings' own keys and texts, ASCII by definition.

namespace {

HKEY RootHandle(TRegistryKey::TRootKey Root) {
    return Root == TRegistryKey::rkLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

[[noreturn]] void Raise(const char* What, const std::string& Name) {
    throw ERegistryException(std::string(What) + " '" + Name + "'");
}

}  // namespace

TRegistryKey::~TRegistryKey() {
    CloseKey();
}

bool TRegistryKey::OpenKey(const std::string& Path, bool CanCreate) {
    return Open(Path, CanCreate, false);
}

bool TRegistryKey::OpenKeyReadOnly(const std::string& Path) {
    return Open(Path, false, true);
}

bool TRegistryKey::Open(const std::string& Path, bool CanCreate, bool ReadOnly) {
    CloseKey();
    const REGSAM access = ReadOnly ? KEY_READ : KEY_READ | KEY_WRITE;
    HKEY key = nullptr;
    LSTATUS rc;
    if (CanCreate) {
        rc = RegCreateKeyExW(RootHandle(FRoot), Widen(Path).c_str(), 0, nullptr,
                             REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    } else {
        rc = RegOpenKeyExW(RootHandle(FRoot), Widen(Path).c_str(), 0, access, &key);
    }
    if (rc != ERROR_SUCCESS) return false;
    FKey = key;
    return true;
}

void TRegistryKey::CloseKey() {
    if (FKey != nullptr) RegCloseKey(static_cast<HKEY>(FKey));
    FKey = nullptr;
}

void TRegistryKey::WriteString(const std::string& Name, const std::string& Value) {
    // The data is the text with its terminating NUL.
    if (FKey == nullptr || RegSetValueExA(static_cast<HKEY>(FKey), Name.c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(Value.c_str()),
                                          static_cast<DWORD>(Value.size() + 1)) != ERROR_SUCCESS) {
        Raise("Failed to set data for", Name);
    }
}

void TRegistryKey::WriteInteger(const std::string& Name, std::int32_t Value) {
    const DWORD data = static_cast<DWORD>(Value);
    if (FKey == nullptr ||
        RegSetValueExA(static_cast<HKEY>(FKey), Name.c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&data), sizeof data) != ERROR_SUCCESS) {
        Raise("Failed to set data for", Name);
    }
}

std::string TRegistryKey::ReadString(const std::string& Name) {
    DWORD type = 0;
    DWORD size = 0;
    HKEY key = static_cast<HKEY>(FKey);
    if (key == nullptr ||
        RegQueryValueExA(key, Name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::string();  // a text that is not there is empty
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) Raise("Invalid data type for", Name);
    // The value may change between the two calls: ask again while it grows.
    std::vector<char> data;
    LSTATUS rc;
    do {
        data.assign(size + 1, '\0');
        size = static_cast<DWORD>(data.size());
        rc = RegQueryValueExA(key, Name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
    } while (rc == ERROR_MORE_DATA);
    if (rc != ERROR_SUCCESS) Raise("Failed to get data for", Name);
    if (type != REG_SZ && type != REG_EXPAND_SZ) Raise("Invalid data type for", Name);
    // Up to the terminating NUL, which a value need not have.
    std::string text(data.data(), std::min<std::size_t>(size, data.size()));
    if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

std::int32_t TRegistryKey::ReadInteger(const std::string& Name) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    const LSTATUS rc = FKey == nullptr
                           ? ERROR_INVALID_HANDLE
                           : RegQueryValueExA(static_cast<HKEY>(FKey), Name.c_str(), nullptr, &type,
                                              reinterpret_cast<BYTE*>(&data), &size);
    // Absent, or more than 4 bytes of whatever kind: no data to get.
    if (rc != ERROR_SUCCESS) Raise("Failed to get data for", Name);
    if (type != REG_DWORD) Raise("Invalid data type for", Name);
    return static_cast<std::int32_t>(data);
}

bool TRegistryKey::ValueExists(const std::string& Name) const {
    return FKey != nullptr && RegQueryValueExA(static_cast<HKEY>(FKey), Name.c_str(), nullptr,
                                               nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool TRegistryKey::DeleteValue(const std::string& Name) {
    return FKey != nullptr &&
           RegDeleteValueA(static_cast<HKEY>(FKey), Name.c_str()) == ERROR_SUCCESS;
}

bool TRegistryKey::DeleteKey(const std::string& Path) {
    return RegDeleteKeyW(RootHandle(FRoot), Widen(Path).c_str()) == ERROR_SUCCESS;
}

}  // namespace corvane
