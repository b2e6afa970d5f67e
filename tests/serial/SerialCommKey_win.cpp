#include <windows.h>

#include <stdexcept>

#include "SerialCommKey.h"

namespace corvane::testing {

static_assert(REG_SZ == 1);

namespace {

constexpr const char* kPath = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

HKEY OpenOrMake() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot open the SERIALCOMM key");
    }
    return key;
}

}  // namespace

SerialCommKey::SerialCommKey() {
    RegCloseKey(OpenOrMake());
}

SerialCommKey::~SerialCommKey() {
    HKEY key = OpenOrMake();
    for (const std::string& name : FAdded) RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
}

void SerialCommKey::Add(const std::string& name, const std::string& data, unsigned long type) {
    HKEY key = OpenOrMake();
    const LSTATUS rc =
        RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>(data.size() + 1));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot add " + name);
    FAdded.push_back(name);
}

void SerialCommKey::RemoveKey() {
    if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPath) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot remove the SERIALCOMM key");
    }
    FAdded.clear();
}

}  // namespace corvane::testing
