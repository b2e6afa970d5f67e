#pragma once

#include <string>
#include <vector>

// The system's list of serial ports in the test's own Wine prefix: the
// volatile key HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM. A test puts
// values there and everything is taken away again at the end, the key made
// again if the test removed it (SerialCommKey_win.cpp).
namespace corvane::testing {

class SerialCommKey {
public:
    SerialCommKey();
    ~SerialCommKey();
    SerialCommKey(const SerialCommKey&) = delete;
    SerialCommKey& operator=(const SerialCommKey&) = delete;

    // A value: its name is a driver's device name, its data the port name
    // (a text, REG_SZ, unless `type` says otherwise).
    void Add(const std::string& name, const std::string& data, unsigned long type = 1);
    // Removes the whole key.
    void RemoveKey();

private:
    std::vector<std::string> FAdded;
};

}  // namespace corvane::testing
