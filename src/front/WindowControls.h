#pragma once

#include <optional>
#include <string>

#include "FileDialogs.h"

namespace corvane {

// The colour of LblTargetChip: that of the group box's own text while a chip
// is shown, red while none is.
enum class TLabelColour { Normal, Alert };

// The main window's widgets and dialogs, as the window's rules (WindowRules.h)
// drive them. Each toolkit implements this over its own controls; the rules
// decide what to show and when, the toolkit only shows it. Every call comes
// on the GUI thread. Texts are UTF-8 unless said otherwise. (The names differ
// from those of IProgrammerView, the link's reports, which the rules take and
// turn into these calls: a window may implement both.)
//
// The controls as the window starts (before the rules touch them): the label
// empty with its top at 15, Send and Read disabled, the size choice hidden
// with "2KB" chosen, Lock and Fast Verify unticked and Fast Verify enabled,
// the status line empty, the bar's range 0 to 100 at 0, Timer1 at 1000 ms and
// not yet running (TWindowRules::Start starts it).
class IWindowControls {
public:
    virtual ~IWindowControls() = default;

    // LblTargetChip: its text, colour and top (in pixels of the window's
    // client area at 96 dots per inch; a toolkit scales it as it scales the
    // rest of the window).
    virtual void SetChipLabel(const std::string& text, TLabelColour colour, int top) = 0;
    // btnSend and BtnRead, enabled and disabled together.
    virtual void SetSendReadEnabled(bool enabled) = 0;
    virtual bool SendReadEnabled() const = 0;
    // rdoMemSize ("Code Memory": 2KB, 4KB), shown only for a 2051/4051.
    virtual void SetMemSizeVisible(bool visible) = 0;
    // The item chosen: 0 = "2KB", 1 = "4KB".
    virtual int MemSizeIndex() const = 0;
    // chkFastVerify and chkLock.
    virtual void SetFastVerifyEnabled(bool enabled) = 0;
    virtual bool FastVerifyEnabled() const = 0;
    virtual bool FastVerifyChecked() const = 0;
    virtual bool LockChecked() const = 0;

    // pnlVerbose: the status line and its tooltip. The notice is text as the
    // link gives it (the system's messages in the system's 8-bit encoding).
    virtual void SetStatusText(const std::string& text) = 0;
    virtual std::string StatusText() const = 0;
    virtual void SetStatusNotice(const std::string& notice) = 0;

    // pbLoading. The rules give only ranges with max > min.
    virtual void SetBarRange(int min, int max) = 0;
    virtual void SetBarPosition(int position) = 0;

    // Timer1, whose ticks the toolkit hands to TWindowRules::Tick.
    virtual void SetPollTimerActive(bool active) = 0;
    virtual bool PollTimerActive() const = 0;
    // The wait cursor over the window (on, and back to the cursor before).
    virtual void SetWaitCursor(bool shown) = 0;

    // The modal open-file (Send) or save-file (Read) dialog, offering what
    // the request says (FileDialogs.h); nothing when cancelled.
    virtual std::optional<TFileChoice> ChooseFile(const TFileRequest& request) = 0;
    // A plain modal message box with an OK button (the link's messages).
    virtual void ShowMessageBox(const std::string& text) = 0;
    // Closes that box, from inside its own event loop, as its OK button would.
    virtual void CloseMessageBox() = 0;
    // The program's error box for an exception's message (the rules show
    // one at a time).
    virtual void ShowError(const std::string& message) = 0;
    // The reason a logoff or shutdown must wait (Win32's shutdown block
    // reason), given while a Send or Read runs; empty: none. A toolkit whose
    // system has none ignores it.
    virtual void SetSessionEndBlock(const std::string& /*reason*/) {}
    // Closes the window as its close button does: the toolkit then asks
    // TWindowRules::CloseAsked whether it may.
    virtual void CloseWindow() = 0;
};

}  // namespace corvane
