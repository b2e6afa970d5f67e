// The four settings objects of the port component.

#include <string>

#include "CPort.h"
#include "StoreChanged.h"

namespace corvane {

void TPersistent::Assign(const TPersistent& Source) {
    throw EConvertError(std::string("Cannot assign a ") + Source.ClassName() + " to a " +
                        ClassName());
}

// --- TComParity -------------------------------------------------------------

void TComParity::CopyValues(const TComParity& Other) {
    FBits = Other.FBits;
    FCheck = Other.FCheck;
    FReplace = Other.FReplace;
    FReplaceChar = Other.FReplaceChar;
}

void TComParity::Assign(const TPersistent& Source) {
    if (auto* other = dynamic_cast<const TComParity*>(&Source)) {
        CopyValues(*other);
    } else {
        TPersistent::Assign(Source);
    }
}

void TComParity::Changed() {
    if (FComPort != nullptr) FComPort->ConfigureLine();
}

void TComParity::SetBits(TParityBits Value) {
    if (Store(FBits, Value)) Changed();
}
void TComParity::SetCheck(bool Value) {
    if (Store(FCheck, Value)) Changed();
}
void TComParity::SetReplace(bool Value) {
    if (Store(FReplace, Value)) Changed();
}
void TComParity::SetReplaceChar(char Value) {
    if (Store(FReplaceChar, Value)) Changed();
}

// --- TComFlowControl ------------------------------------------------------

void TComFlowControl::CopyValues(const TComFlowControl& Other) {
    FOutCTSFlow = Other.FOutCTSFlow;
    FOutDSRFlow = Other.FOutDSRFlow;
    FControlDTR = Other.FControlDTR;
    FControlRTS = Other.FControlRTS;
    FXonXoffOut = Other.FXonXoffOut;
    FXonXoffIn = Other.FXonXoffIn;
    FDSRSensitivity = Other.FDSRSensitivity;
    FTxContinueOnXoff = Other.FTxContinueOnXoff;
    FXonChar = Other.FXonChar;
    FXoffChar = Other.FXoffChar;
}

void TComFlowControl::Assign(const TPersistent& Source) {
    if (auto* other = dynamic_cast<const TComFlowControl*>(&Source)) {
        CopyValues(*other);
    } else {
        TPersistent::Assign(Source);
    }
}

void TComFlowControl::Changed() {
    if (FComPort != nullptr) FComPort->ConfigureLine();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) {
        return fcHardware;
    }
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (Value == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (Value == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    Changed();
}

void TComFlowControl::SetOutCTSFlow(bool Value) {
    if (Store(FOutCTSFlow, Value)) Changed();
}
void TComFlowControl::SetOutDSRFlow(bool Value) {
    if (Store(FOutDSRFlow, Value)) Changed();
}
void TComFlowControl::SetControlDTR(TDTRFlowControl Value) {
    if (Store(FControlDTR, Value)) Changed();
}
void TComFlowControl::SetControlRTS(TRTSFlowControl Value) {
    if (Store(FControlRTS, Value)) Changed();
}
void TComFlowControl::SetXonXoffOut(bool Value) {
    if (Store(FXonXoffOut, Value)) Changed();
}
void TComFlowControl::SetXonXoffIn(bool Value) {
    if (Store(FXonXoffIn, Value)) Changed();
}
void TComFlowControl::SetDSRSensitivity(bool Value) {
    if (Store(FDSRSensitivity, Value)) Changed();
}
void TComFlowControl::SetTxContinueOnXoff(bool Value) {
    if (Store(FTxContinueOnXoff, Value)) Changed();
}
void TComFlowControl::SetXonChar(char Value) {
    if (Store(FXonChar, Value)) Changed();
}
void TComFlowControl::SetXoffChar(char Value) {
    if (Store(FXoffChar, Value)) Changed();
}

// --- TComTimeouts ---------------------------------------------------------

void TComTimeouts::CopyValues(const TComTimeouts& Other) {
    FReadInterval = Other.FReadInterval;
    FReadTotalMultiplier = Other.FReadTotalMultiplier;
    FReadTotalConstant = Other.FReadTotalConstant;
    FWriteTotalMultiplier = Other.FWriteTotalMultiplier;
    FWriteTotalConstant = Other.FWriteTotalConstant;
}

void TComTimeouts::Assign(const TPersistent& Source) {
    if (auto* other = dynamic_cast<const TComTimeouts*>(&Source)) {
        CopyValues(*other);
    } else {
        TPersistent::Assign(Source);
    }
}

void TComTimeouts::Changed() {
    if (FComPort != nullptr) FComPort->ConfigureTimeouts();
}

void TComTimeouts::SetReadInterval(std::int32_t Value) {
    if (Store(FReadInterval, Value)) Changed();
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t Value) {
    if (Store(FReadTotalMultiplier, Value)) Changed();
}
void TComTimeouts::SetReadTotalConstant(std::int32_t Value) {
    if (Store(FReadTotalConstant, Value)) Changed();
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t Value) {
    if (Store(FWriteTotalMultiplier, Value)) Changed();
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t Value) {
    if (Store(FWriteTotalConstant, Value)) Changed();
}

// --- TComBuffer -----------------------------------------------------------

void TComBuffer::CopyValues(const TComBuffer& Other) {
    FInputSize = Other.FInputSize;
    FOutputSize = Other.FOutputSize;
}

void TComBuffer::Assign(const TPersistent& Source) {
    if (auto* other = dynamic_cast<const TComBuffer*>(&Source)) {
        CopyValues(*other);
    } else {
        TPersistent::Assign(Source);
    }
}

void TComBuffer::Changed() {
    if (FComPort != nullptr) FComPort->ConfigureBuffers();
}

namespace {

// The new value is compared with the stored one before it is made even, so
// writing 4097 twice re-applies twice.
bool StoreEven(std::int32_t& field, std::int32_t value) {
    if (field == value) return false;
    field = value % 2 == 1 ? value - 1 : value;
    return true;
}

}  // namespace

void TComBuffer::SetInputSize(std::int32_t Value) {
    if (StoreEven(FInputSize, Value)) Changed();
}
void TComBuffer::SetOutputSize(std::int32_t Value) {
    if (StoreEven(FOutputSize, Value)) Changed();
}

}  // namespace corvane
