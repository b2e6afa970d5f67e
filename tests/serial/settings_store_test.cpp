// The INI file and registry stores (in memory, and on Windows the system's
// registry), and the port's settings written into them and read back.

#include <gtest/gtest.h>
#ifdef _WIN32
#include <process.h>
#else
#include <sys/stat.h>
#endif

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CPort.h"
#include "SettingsStore.h"
#include "SettingsText.h"
#include "TempDir.h"
#ifdef _WIN32
#include "RegistryKey.h"
#endif

namespace corvane {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    const fs::path& Path() const { return FPath; }

private:
    test::TempDir FDir{"corvane-store"};
    fs::path FPath{FDir.Path()};
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> DirEntries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

// The registry stores, each with a fresh key: TMemoryRegistry, and on
// Windows a key of the system's registry under HKEY_CURRENT_USER, removed
// again afterwards.
struct MemoryStore {
    TMemoryRegistry Reg;
    TRegistryAccess& Access() { return Reg; }
    void MakeReadOnly() { Reg.SetReadOnly(true); }
};

#ifdef _WIN32
struct SystemStore {
    const std::string Path = "Software\\Corvane\\Tests\\" + std::to_string(_getpid());
    TRegistryKey Key;
    SystemStore() {
        Key.DeleteKey(Path);  // left by a test that ended hard
        if (!Key.OpenKey(Path, true)) throw std::runtime_error("cannot make " + Path);
    }
    ~SystemStore() {
        Key.CloseKey();
        Key.DeleteKey(Path);
    }
    TRegistryAccess& Access() { return Key; }
    void MakeReadOnly() { Key.OpenKeyReadOnly(Path); }
};
using RegistryStores = ::testing::Types<MemoryStore, SystemStore>;
#else
using RegistryStores = ::testing::Types<MemoryStore>;
#endif

template <typename Store>
class RegistryStore : public ::testing::Test {
protected:
    Store S;
};
TYPED_TEST_SUITE(RegistryStore, RegistryStores);

std::string RegistryMessage(const std::function<void()>& call) {
    try {
        call();
    } catch (const ERegistryException& e) {
        return e.Message();
    }
    return "no exception";
}

// ---------------------------------------------------------------------------
// TIniFile

TEST(IniFile, WritesReadableFileKeepingOrderAndComments) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "port.ini";
    WriteFile(file,
              "; settings\r\n"
              "[First]\r\n"
              "b = 2\r\n"
              "a=1\r\n"
              "\r\n"
              "[Second]\n"
              "x=\"  padded \"\n");
    TIniFile ini(file.string());
    EXPECT_EQ(ini.ReadString("first", "B", "?"), "2");
    EXPECT_EQ(ini.ReadString("Second", "x", "?"), "  padded ");
    EXPECT_EQ(ini.ReadString("Second", "y", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("Third", "x", "dflt"), "dflt");

    ini.WriteString("First", "a", "one");  // in place
    ini.WriteString("First", "c", "3");    // after the last key, before the blank line
    ini.WriteString("Third", "z", " lead");
    ini.WriteInteger("Third", "n", -5);
    EXPECT_EQ(ReadFile(file),
              "; settings\n"
              "[First]\n"
              "b=2\n"
              "a=one\n"
              "c=3\n"
              "\n"
              "[Second]\n"
              "x=\"  padded \"\n"
              "\n"
              "[Third]\n"
              "z=\" lead\"\n"
              "n=-5\n");
    EXPECT_EQ(ini.ReadSection("FIRST"), (std::vector<std::string>{"b", "a", "c"}));

    TIniFile again(file.string());
    EXPECT_EQ(again.ReadString("Third", "z", ""), " lead");
    EXPECT_EQ(again.ReadInteger("Third", "n", 0), -5);
    // Only the file itself is left behind: no temporary files.
    EXPECT_EQ(DirEntries(tmp.Path()), (std::vector<std::string>{"port.ini"}));
}

TEST(IniFile, IntegersFallBackToTheDefault) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "n.ini";
    WriteFile(file, "[S]\nhex=$1F\nc=0x20\nbad=12x\nempty=\n");
    TIniFile ini(file.string());
    EXPECT_EQ(ini.ReadInteger("S", "hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("S", "c", 0), 32);
    EXPECT_EQ(ini.ReadInteger("S", "bad", 9), 9);
    EXPECT_EQ(ini.ReadInteger("S", "empty", 9), 9);
    EXPECT_EQ(ini.ReadInteger("S", "absent", 9), 9);
}

TEST(IniFile, RefusesTextThatWouldBreakTheFile) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "x.ini";
    TIniFile ini(file.string());
    ini.WriteString("S", "Port", "COM1");
    const std::string before = ReadFile(file);
    EXPECT_THROW(ini.WriteString("S", "Port", "COM2\n[Evil]\nkey=1"), EIniFileException);
    EXPECT_THROW(ini.WriteString("S", "a=b", "1"), EIniFileException);
    EXPECT_THROW(ini.WriteString("S]", "a", "1"), EIniFileException);
    EXPECT_THROW(ini.WriteString("", "a", "1"), EIniFileException);
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_EQ(ini.ReadString("S", "Port", ""), "COM1");
}

TEST(IniFile, FileErrorsAreRaisedAndLeaveTheObjectAsTheFileIs) {
#ifdef _WIN32
    const int kIsFolder = 5;  // ERROR_ACCESS_DENIED
    const int kNoFolder = 3;  // ERROR_PATH_NOT_FOUND
#else
    const int kIsFolder = EISDIR;
    const int kNoFolder = ENOENT;
#endif
    TempDir tmp;
    // A folder where the file should be cannot be read as one.
    fs::create_directory(tmp.Path() / "dir.ini");
    try {
        TIniFile ini((tmp.Path() / "dir.ini").string());
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), kIsFolder);
    }

    // A file in a folder that does not exist reads as empty, but cannot be written.
    TIniFile ini((tmp.Path() / "missing" / "x.ini").string());
    try {
        ini.WriteString("S", "k", "v");
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), kNoFolder);
    }
    EXPECT_FALSE(ini.SectionExists("S"));
}

#ifndef _WIN32
TEST(IniFile, RewriteKeepsModeAndSymbolicLink) {
    TempDir tmp;
    const fs::path real = tmp.Path() / "real.ini";
    const fs::path link = tmp.Path() / "link.ini";
    WriteFile(real, "[S]\nk=1\n");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    fs::create_symlink(real.filename(), link);

    TIniFile ini(link.string());
    ini.WriteString("S", "k", "2");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "[S]\nk=2\n");
    struct stat st {};
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Reload sees what another writer did meanwhile.
    WriteFile(real, "[S]\nk=3\n");
    EXPECT_EQ(ini.ReadString("S", "k", ""), "2");
    ini.Reload();
    EXPECT_EQ(ini.ReadString("S", "k", ""), "3");
}
#endif

// ---------------------------------------------------------------------------
// TMemoryRegistry

TYPED_TEST(RegistryStore, TypedValuesAndThePlatformsMessages) {
    TRegistryAccess& reg = this->S.Access();
    reg.WriteString("Port", "COM1");
    reg.WriteInteger("Buffer.InputSize", 4096);
    EXPECT_EQ(reg.ReadString("port"), "COM1");  // names ignore letter case
    EXPECT_EQ(reg.ReadInteger("Buffer.InputSize"), 4096);
    EXPECT_EQ(reg.ReadString("Absent"), "");

    EXPECT_EQ(RegistryMessage([&] { reg.ReadInteger("Absent"); }),
              "Failed to get data for 'Absent'");
    // (A text of more than 4 bytes is no number's data at all on Windows:
    // "Failed to get data"; a shorter one is of the wrong kind everywhere.)
    reg.WriteString("Flag", "No");
    EXPECT_EQ(RegistryMessage([&] { reg.ReadInteger("Flag"); }), "Invalid data type for 'Flag'");
    EXPECT_EQ(RegistryMessage([&] { reg.ReadString("Buffer.InputSize"); }),
              "Invalid data type for 'Buffer.InputSize'");
    EXPECT_EQ(RegistryMessage([&] { reg.WriteString(std::string(16384, 'n'), "x"); }),
              "Failed to set data for '" + std::string(16384, 'n') + "'");

    // A value changes kind when written as the other kind.
    reg.WriteInteger("PORT", 3);
    EXPECT_EQ(reg.ReadInteger("Port"), 3);

    this->S.MakeReadOnly();
    EXPECT_EQ(RegistryMessage([&] { this->S.Access().WriteString("Port", "COM2"); }),
              "Failed to set data for 'Port'");
    EXPECT_EQ(this->S.Access().ReadInteger("Port"), 3);
}

TEST(MemoryRegistry, KindsAndOrderOfTheValues) {
    TMemoryRegistry reg;
    reg.WriteString("Port", "COM1");
    reg.WriteInteger("Buffer.InputSize", 4096);
    EXPECT_EQ(reg.GetDataType("Port"), rdString);
    EXPECT_EQ(reg.GetDataType("Buffer.InputSize"), rdInteger);
    EXPECT_EQ(reg.GetDataType("Absent"), rdUnknown);
    // A value written as the other kind keeps its place.
    reg.WriteInteger("PORT", 3);
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Port", "Buffer.InputSize"}));
}

// ---------------------------------------------------------------------------
// The port's settings in the stores

constexpr TStoredSettings kAllGroups{ssBasic,    ssFlowControl, ssBuffer,
                                     ssTimeouts, ssParity,      ssOthers};

// Every stored setting, as one text, so that a mismatch shows which.
std::string Describe(const TCustomComPort& p) {
    std::ostringstream s;
    const TComParity& pa = p.Parity();
    const TComFlowControl& f = p.FlowControl();
    const TComTimeouts& t = p.Timeouts();
    s << "Port=" << p.Port() << " BaudRate=" << BaudRateText(p.BaudRate())
      << " Custom=" << p.CustomBaudRate() << " StopBits=" << StopBitsText(p.StopBits())
      << " DataBits=" << DataBitsText(p.DataBits()) << " Parity=" << ParityText(pa.Bits())
      << " EventChar=" << CharText(p.EventChar()) << " DiscardNull=" << p.DiscardNull()
      << " Check=" << pa.Check() << " Replace=" << pa.Replace()
      << " ReplaceChar=" << CharText(pa.ReplaceChar()) << " Out=" << p.Buffer().OutputSize()
      << " In=" << p.Buffer().InputSize() << " RI=" << t.ReadInterval()
      << " RTC=" << t.ReadTotalConstant() << " RTM=" << t.ReadTotalMultiplier()
      << " WTC=" << t.WriteTotalConstant() << " WTM=" << t.WriteTotalMultiplier()
      << " RTS=" << ControlRTSText(f.ControlRTS()) << " DTR=" << ControlDTRText(f.ControlDTR())
      << " DSRS=" << f.DSRSensitivity() << " CTS=" << f.OutCTSFlow() << " DSR=" << f.OutDSRFlow()
      << " TxC=" << f.TxContinueOnXoff() << " XIn=" << f.XonXoffIn() << " XOut=" << f.XonXoffOut()
      << " Xoff=" << CharText(f.XoffChar()) << " Xon=" << CharText(f.XonChar());
    return s.str();
}

// A value other than the construction default for every stored setting.
void ChangeEverything(TCustomComPort& p) {
    p.SetStoredSettings(kAllGroups);
    p.SetPort("/dev/ttyUSB3");
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(31250);
    p.SetStopBits(sbTwoStopBits);
    p.SetDataBits(dbSeven);
    p.Parity().SetBits(prMark);
    p.SetEventChar(' ');
    p.SetDiscardNull(true);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('?');
    p.Buffer().SetOutputSize(2048);
    p.Buffer().SetInputSize(-3);
    p.Timeouts().SetReadInterval(5);
    p.Timeouts().SetReadTotalConstant(6);
    p.Timeouts().SetReadTotalMultiplier(7);
    p.Timeouts().SetWriteTotalConstant(-1);
    p.Timeouts().SetWriteTotalMultiplier(9);
    p.FlowControl().SetControlRTS(rtsToggle);
    p.FlowControl().SetControlDTR(dtrHandshake);
    p.FlowControl().SetDSRSensitivity(true);
    p.FlowControl().SetOutCTSFlow(true);
    p.FlowControl().SetOutDSRFlow(true);
    p.FlowControl().SetTxContinueOnXoff(true);
    p.FlowControl().SetXonXoffIn(true);
    p.FlowControl().SetXonXoffOut(false);
    p.FlowControl().SetXoffChar(static_cast<char>(200));
    p.FlowControl().SetXonChar('#');
}

// The keys of every group, in the order they are written.
const std::vector<std::string> kAllKeysInOrder = {"Port",
                                                  "BaudRate",
                                                  "CustomBaudRate",
                                                  "StopBits",
                                                  "DataBits",
                                                  "Parity",
                                                  "FlowControl",
                                                  "EventChar",
                                                  "DiscardNull",
                                                  "Parity.Check",
                                                  "Parity.Replace",
                                                  "Parity.ReplaceChar",
                                                  "Buffer.OutputSize",
                                                  "Buffer.InputSize",
                                                  "Timeouts.ReadInterval",
                                                  "Timeouts.ReadTotalConstant",
                                                  "Timeouts.ReadTotalMultiplier",
                                                  "Timeouts.WriteTotalConstant",
                                                  "Timeouts.WriteTotalMultiplier",
                                                  "FlowControl.ControlRTS",
                                                  "FlowControl.ControlDTR",
                                                  "FlowControl.DSRSensitivity",
                                                  "FlowControl.OutCTSFlow",
                                                  "FlowControl.OutDSRFlow",
                                                  "FlowControl.TxContinueOnXoff",
                                                  "FlowControl.XonXoffIn",
                                                  "FlowControl.XonXoffOut",
                                                  "FlowControl.XoffChar",
                                                  "FlowControl.XonChar"};

TEST(PortStorage, IniForTheConstructionDefaults) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "defaults.ini";
    TComPort port;
    TIniFile ini(file.string());
    port.WriteSettingsToIni(ini);
    EXPECT_EQ(ReadFile(file),
              "[ComPort]\n"
              "Port=COM1\n"
              "BaudRate=9600\n"
              "StopBits=1\n"
              "DataBits=8\n"
              "Parity=None\n"
              "FlowControl=None\n");
}

TEST(PortStorage, EveryGroupRoundTripsThroughAnIniFile) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "all.ini";
    TComPort source;
    source.SetName("Modem");
    ChangeEverything(source);
    {
        TIniFile ini(file.string());
        source.WriteSettingsToIni(ini);
    }
    TIniFile ini(file.string());
    EXPECT_EQ(ini.ReadSection("Modem"), kAllKeysInOrder);
    EXPECT_EQ(ini.ReadString("Modem", "EventChar", ""), "#32");
    EXPECT_EQ(ini.ReadString("Modem", "FlowControl", ""), "Custom");

    TComPort target;
    target.SetName("Modem");
    target.SetStoredSettings(kAllGroups);
    target.ReadSettingsFromIni(ini);
    EXPECT_EQ(Describe(target), Describe(source));
}

TEST(PortStorage, EveryGroupIsWrittenToTheRegistryInOrder) {
    TComPort source;
    ChangeEverything(source);
    TMemoryRegistry reg;
    source.WriteSettingsToRegistry(reg);
    EXPECT_EQ(reg.GetValueNames(), kAllKeysInOrder);
}

TYPED_TEST(RegistryStore, EveryGroupRoundTripsThroughTheRegistry) {
    TRegistryAccess& reg = this->S.Access();
    TComPort source;
    ChangeEverything(source);
    source.WriteSettingsToRegistry(reg);
    // Numbers as numbers, texts as texts.
    EXPECT_EQ(reg.ReadInteger("CustomBaudRate"), 31250);
    EXPECT_EQ(reg.ReadInteger("Timeouts.WriteTotalConstant"), -1);
    EXPECT_EQ(reg.ReadString("FlowControl.XonChar"), "#");
    EXPECT_EQ(RegistryMessage([&] { reg.ReadString("Buffer.OutputSize"); }),
              "Invalid data type for 'Buffer.OutputSize'");

    TComPort target;
    target.SetStoredSettings(kAllGroups);
    target.ReadSettingsFromRegistry(reg);
    EXPECT_EQ(Describe(target), Describe(source));
}

TEST(PortStorage, CustomRateRoundTrip) {
    TComPort source;
    source.SetBaudRate(brCustom);
    source.SetCustomBaudRate(250000);
    TempDir tmp;
    TIniFile ini((tmp.Path() / "c.ini").string());
    source.WriteSettingsToIni(ini);
    TMemoryRegistry reg;
    source.WriteSettingsToRegistry(reg);
    EXPECT_EQ(ini.ReadString("ComPort", "BaudRate", ""), "Custom");
    EXPECT_EQ(ini.ReadString("ComPort", "CustomBaudRate", ""), "250000");
    EXPECT_EQ(reg.ReadString("BaudRate"), "Custom");
    EXPECT_EQ(reg.ReadInteger("CustomBaudRate"), 250000);

    TComPort fromIni;
    fromIni.ReadSettingsFromIni(ini);
    EXPECT_EQ(fromIni.BaudRate(), brCustom);
    EXPECT_EQ(fromIni.CustomBaudRate(), 250000);
    TComPort fromReg;
    fromReg.ReadSettingsFromRegistry(reg);
    EXPECT_EQ(fromReg.BaudRate(), brCustom);
    EXPECT_EQ(fromReg.CustomBaudRate(), 250000);

    // Without the CustomBaudRate key the rate reads as 9600, not as it was.
    TIniFile bare((tmp.Path() / "bare.ini").string());
    bare.WriteString("ComPort", "BaudRate", "custom");
    TComPort port;
    port.SetCustomBaudRate(4800);
    port.ReadSettingsFromIni(bare);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
}

TEST(PortStorage, IniKeysThatAreMissingLeaveTheirSettings) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "partial.ini";
    WriteFile(file,
              "[ComPort]\n"
              "FlowControl=Hardware\n"
              "FlowControl.ControlRTS=Enable\n"
              "FlowControl.OutCTSFlow=no\n");
    TIniFile ini(file.string());
    TComPort port;
    port.SetStoredSettings({ssBasic, ssFlowControl});
    port.SetPort("/dev/ttyS1");
    port.SetDataBits(dbSix);
    port.FlowControl().SetOutDSRFlow(true);
    port.FlowControl().SetXonChar('x');
    port.ReadSettingsFromIni(ini);
    EXPECT_EQ(port.Port(), "/dev/ttyS1");
    EXPECT_EQ(port.DataBits(), dbSix);
    EXPECT_TRUE(port.FlowControl().OutDSRFlow());
    EXPECT_EQ(port.FlowControl().XonChar(), 'x');
    // "Hardware" set RTS handshaking and CTS flow; the group's own keys,
    // read later, override both.
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsEnable);
    EXPECT_FALSE(port.FlowControl().OutCTSFlow());
}

TEST(PortStorage, UnknownSummaryChangesNoFlowControlField) {
    for (const char* text : {"Custom", "whatever", ""}) {
        TMemoryRegistry reg;
        reg.WriteString("FlowControl", text);
        TComPort port;
        port.FlowControl().SetControlRTS(rtsToggle);
        port.FlowControl().SetXonXoffOut(true);
        port.ReadSettingsFromRegistry(reg);
        EXPECT_EQ(port.FlowControl().ControlRTS(), rtsToggle) << text;
        EXPECT_TRUE(port.FlowControl().XonXoffOut()) << text;
        EXPECT_FALSE(port.FlowControl().OutCTSFlow()) << text;
    }
}

TYPED_TEST(RegistryStore, WithoutValuesGivesTheTableDefaultsThenStopsAtAMissingNumber) {
    TComPort port;
    port.SetStoredSettings({ssBasic, ssOthers, ssParity, ssBuffer});
    port.SetBaudRate(br110);
    port.SetDataBits(dbFive);
    port.SetEventChar('E');
    port.Parity().SetCheck(true);
    port.Parity().SetReplaceChar('r');
    port.Buffer().SetInputSize(100);
    try {
        port.ReadSettingsFromRegistry(this->S.Access());
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Failed to get data for 'Buffer.OutputSize'");
    }
    EXPECT_EQ(port.Port(), "");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.EventChar(), 0);
    EXPECT_FALSE(port.Parity().Check());
    EXPECT_EQ(port.Parity().ReplaceChar(), 0);
    EXPECT_EQ(port.Buffer().InputSize(), 100);  // after the failing key: untouched
}

TYPED_TEST(RegistryStore, RefusedWriteStopsAtTheFirstKey) {
    this->S.MakeReadOnly();
    TComPort port;
    try {
        port.WriteSettingsToRegistry(this->S.Access());
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Failed to set data for 'Port'");
    }
    EXPECT_EQ(this->S.Access().ReadString("Port"), "");
}

}  // namespace
}  // namespace corvane
