// Writing the port's settings into an INI file section or a registry key,
// and reading them back.

#include <cstdint>
#include <string>
#include <utility>

#include "CPort.h"
#include "SettingsStore.h"
#include "SettingsText.h"

namespace corvane {

namespace {

// The two stores seen alike: texts and integers under a key. Reading takes
// the setting's current value, which an INI file gives back for an absent
// key; the registry has no defaults.
class TSettingsStore {
public:
    virtual ~TSettingsStore() = default;
    virtual void PutText(const std::string& Key, const std::string& Text) = 0;
    virtual void PutInteger(const std::string& Key, std::int32_t Value) = 0;
    virtual std::string GetText(const std::string& Key, const std::string& Current) = 0;
    virtual std::int32_t GetInteger(const std::string& Key, std::int32_t Current) = 0;
};

class TIniStore : public TSettingsStore {
public:
    TIniStore(TIniAccess& Ini, std::string Section) : FIni(Ini), FSection(std::move(Section)) {}
    void PutText(const std::string& Key, const std::string& Text) override {
        FIni.WriteString(FSection, Key, Text);
    }
    void PutInteger(const std::string& Key, std::int32_t Value) override {
        FIni.WriteInteger(FSection, Key, Value);
    }
    std::string GetText(const std::string& Key, const std::string& Current) override {
        return FIni.ReadString(FSection, Key, Current);
    }
    std::int32_t GetInteger(const std::string& Key, std::int32_t Current) override {
        return FIni.ReadInteger(FSection, Key, Current);
    }

private:
    TIniAccess& FIni;
    std::string FSection;
};

class TRegistryStore : public TSettingsStore {
public:
    explicit TRegistryStore(TRegistryAccess& Reg) : FReg(Reg) {}
    void PutText(const std::string& Key, const std::string& Text) override {
        FReg.WriteString(Key, Text);
    }
    void PutInteger(const std::string& Key, std::int32_t Value) override {
        FReg.WriteInteger(Key, Value);
    }
    std::string GetText(const std::string& Key, const std::string&) override {
        return FReg.ReadString(Key);
    }
    std::int32_t GetInteger(const std::string& Key, std::int32_t) override {
        return FReg.ReadInteger(Key);
    }

private:
    TRegistryAccess& FReg;
};

// A CustomBaudRate that an INI file does not hold reads as this, whatever
// the port held before.
constexpr std::int32_t kDefaultCustomBaudRate = 9600;

// The groups in the order they are processed, which is not their bit order.
constexpr TStoredSetting kGroupOrder[] = {ssBasic,  ssOthers,   ssParity,
                                          ssBuffer, ssTimeouts, ssFlowControl};

void WriteGroup(const TCustomComPort& Port, TStoredSetting Group, TSettingsStore& Store) {
    switch (Group) {
        case ssBasic:
            Store.PutText("Port", Port.Port());
            Store.PutText("BaudRate", BaudRateText(Port.BaudRate()));
            if (Port.BaudRate() == brCustom) {
                Store.PutInteger("CustomBaudRate", Port.CustomBaudRate());
            }
            Store.PutText("StopBits", StopBitsText(Port.StopBits()));
            Store.PutText("DataBits", DataBitsText(Port.DataBits()));
            Store.PutText("Parity", ParityText(Port.Parity().Bits()));
            Store.PutText("FlowControl", FlowControlText(Port.FlowControl().FlowControl()));
            break;
        case ssOthers:
            Store.PutText("EventChar", CharText(Port.EventChar()));
            Store.PutText("DiscardNull", YesNoText(Port.DiscardNull()));
            break;
        case ssParity: {
            const TComParity& parity = Port.Parity();
            Store.PutText("Parity.Check", YesNoText(parity.Check()));
            Store.PutText("Parity.Replace", YesNoText(parity.Replace()));
            Store.PutText("Parity.ReplaceChar", CharText(parity.ReplaceChar()));
            break;
        }
        case ssBuffer:
            Store.PutInteger("Buffer.OutputSize", Port.Buffer().OutputSize());
            Store.PutInteger("Buffer.InputSize", Port.Buffer().InputSize());
            break;
        case ssTimeouts: {
            const TComTimeouts& t = Port.Timeouts();
            Store.PutInteger("Timeouts.ReadInterval", t.ReadInterval());
            Store.PutInteger("Timeouts.ReadTotalConstant", t.ReadTotalConstant());
            Store.PutInteger("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier());
            Store.PutInteger("Timeouts.WriteTotalConstant", t.WriteTotalConstant());
            Store.PutInteger("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier());
            break;
        }
        case ssFlowControl: {
            const TComFlowControl& f = Port.FlowControl();
            Store.PutText("FlowControl.ControlRTS", ControlRTSText(f.ControlRTS()));
            Store.PutText("FlowControl.ControlDTR", ControlDTRText(f.ControlDTR()));
            Store.PutText("FlowControl.DSRSensitivity", YesNoText(f.DSRSensitivity()));
            Store.PutText("FlowControl.OutCTSFlow", YesNoText(f.OutCTSFlow()));
            Store.PutText("FlowControl.OutDSRFlow", YesNoText(f.OutDSRFlow()));
            Store.PutText("FlowControl.TxContinueOnXoff", YesNoText(f.TxContinueOnXoff()));
            Store.PutText("FlowControl.XonXoffIn", YesNoText(f.XonXoffIn()));
            Store.PutText("FlowControl.XonXoffOut", YesNoText(f.XonXoffOut()));
            Store.PutText("FlowControl.XoffChar", CharText(f.XoffChar()));
            Store.PutText("FlowControl.XonChar", CharText(f.XonChar()));
            break;
        }
    }
}

// Each key is applied through the property's own write as soon as it is
// read, so an open port is reconfigured key by key and a failure stops at
// the key that caused it.
void ReadGroup(TCustomComPort& Port, TStoredSetting Group, TSettingsStore& Store) {
    switch (Group) {
        case ssBasic:
            Port.SetPort(Store.GetText("Port", Port.Port()));
            Port.SetBaudRate(
                ParseBaudRate(Store.GetText("BaudRate", BaudRateText(Port.BaudRate()))));
            if (Port.BaudRate() == brCustom) {
                Port.SetCustomBaudRate(Store.GetInteger("CustomBaudRate", kDefaultCustomBaudRate));
            }
            Port.SetStopBits(
                ParseStopBits(Store.GetText("StopBits", StopBitsText(Port.StopBits()))));
            Port.SetDataBits(
                ParseDataBits(Store.GetText("DataBits", DataBitsText(Port.DataBits()))));
            Port.Parity().SetBits(
                ParseParity(Store.GetText("Parity", ParityText(Port.Parity().Bits()))));
            Port.FlowControl().SetFlowControl(ParseFlowControl(
                Store.GetText("FlowControl", FlowControlText(Port.FlowControl().FlowControl()))));
            break;
        case ssOthers:
            Port.SetEventChar(ParseChar(Store.GetText("EventChar", CharText(Port.EventChar()))));
            Port.SetDiscardNull(
                ParseYesNo(Store.GetText("DiscardNull", YesNoText(Port.DiscardNull()))));
            break;
        case ssParity: {
            TComParity& parity = Port.Parity();
            parity.SetCheck(ParseYesNo(Store.GetText("Parity.Check", YesNoText(parity.Check()))));
            parity.SetReplace(
                ParseYesNo(Store.GetText("Parity.Replace", YesNoText(parity.Replace()))));
            parity.SetReplaceChar(
                ParseChar(Store.GetText("Parity.ReplaceChar", CharText(parity.ReplaceChar()))));
            break;
        }
        case ssBuffer: {
            TComBuffer& buffer = Port.Buffer();
            buffer.SetOutputSize(Store.GetInteger("Buffer.OutputSize", buffer.OutputSize()));
            buffer.SetInputSize(Store.GetInteger("Buffer.InputSize", buffer.InputSize()));
            break;
        }
        case ssTimeouts: {
            TComTimeouts& t = Port.Timeouts();
            t.SetReadInterval(Store.GetInteger("Timeouts.ReadInterval", t.ReadInterval()));
            t.SetReadTotalConstant(
                Store.GetInteger("Timeouts.ReadTotalConstant", t.ReadTotalConstant()));
            t.SetReadTotalMultiplier(
                Store.GetInteger("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier()));
            t.SetWriteTotalConstant(
                Store.GetInteger("Timeouts.WriteTotalConstant", t.WriteTotalConstant()));
            t.SetWriteTotalMultiplier(
                Store.GetInteger("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier()));
            break;
        }
        case ssFlowControl: {
            TComFlowControl& f = Port.FlowControl();
            f.SetControlRTS(ParseControlRTS(
                Store.GetText("FlowControl.ControlRTS", ControlRTSText(f.ControlRTS()))));
            f.SetControlDTR(ParseControlDTR(
                Store.GetText("FlowControl.ControlDTR", ControlDTRText(f.ControlDTR()))));
            f.SetDSRSensitivity(ParseYesNo(
                Store.GetText("FlowControl.DSRSensitivity", YesNoText(f.DSRSensitivity()))));
            f.SetOutCTSFlow(
                ParseYesNo(Store.GetText("FlowControl.OutCTSFlow", YesNoText(f.OutCTSFlow()))));
            f.SetOutDSRFlow(
                ParseYesNo(Store.GetText("FlowControl.OutDSRFlow", YesNoText(f.OutDSRFlow()))));
            f.SetTxContinueOnXoff(ParseYesNo(
                Store.GetText("FlowControl.TxContinueOnXoff", YesNoText(f.TxContinueOnXoff()))));
            f.SetXonXoffIn(
                ParseYesNo(Store.GetText("FlowControl.XonXoffIn", YesNoText(f.XonXoffIn()))));
            f.SetXonXoffOut(
                ParseYesNo(Store.GetText("FlowControl.XonXoffOut", YesNoText(f.XonXoffOut()))));
            f.SetXoffChar(ParseChar(Store.GetText("FlowControl.XoffChar", CharText(f.XoffChar()))));
            f.SetXonChar(ParseChar(Store.GetText("FlowControl.XonChar", CharText(f.XonChar()))));
            break;
        }
    }
}

void WriteSettings(const TCustomComPort& Port, TSettingsStore& Store) {
    for (TStoredSetting group : kGroupOrder) {
        if (Port.StoredSettings().Contains(group)) WriteGroup(Port, group, Store);
    }
}

void ReadSettings(TCustomComPort& Port, TSettingsStore& Store) {
    for (TStoredSetting group : kGroupOrder) {
        if (Port.StoredSettings().Contains(group)) ReadGroup(Port, group, Store);
    }
}

}  // namespace

void TCustomComPort::WriteSettingsToRegistry(TRegistryAccess& Reg) {
    TRegistryStore store(Reg);
    WriteSettings(*this, store);
}

void TCustomComPort::WriteSettingsToIni(TIniAccess& Ini) {
    TIniStore store(Ini, Name());
    WriteSettings(*this, store);
}

void TCustomComPort::ReadSettingsFromRegistry(TRegistryAccess& Reg) {
    TRegistryStore store(Reg);
    ReadSettings(*this, store);
}

void TCustomComPort::ReadSettingsFromIni(TIniAccess& Ini) {
    TIniStore store(Ini, Name());
    ReadSettings(*this, store);
}

}  // namespace corvane
