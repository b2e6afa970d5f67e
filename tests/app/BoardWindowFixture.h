#pragma once

#include <QKeyEvent>
#include <QList>
#include <QMetaObject>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AppTestSupport.h"
#include "UHexFile.h"
#include "VirtualProgrammer.h"

namespace corvane::apptest {

// A board with `chip` that erases at once and starts a write pass without a
// pause, on a line paced at `baud` (0: not paced).
inline sim::BoardOptions QuickBoard(const sim::Chip& chip, sim::Faults faults = {},
                                    unsigned baud = 0) {
    sim::BoardOptions options;
    options.chip = chip;
    options.eraseDelay = std::chrono::milliseconds(1);
    options.writePause = std::chrono::milliseconds(0);
    options.faults = std::move(faults);
    options.baud = baud;
    return options;
}

// `n` bytes, none of them 0xFF.
inline std::vector<std::uint8_t> Pattern(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>((i * 31 + 7) % 255);
    return bytes;
}

// A HEX file holding `bytes` from address 0, for a chip of `size` bytes.
inline void SaveHexFile(const std::string& file, const std::vector<std::uint8_t>& bytes,
                        std::uint16_t size) {
    THexFile image;
    image.SetMemSize(size);
    image.Clear();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        image.SetByte(static_cast<std::uint16_t>(i), bytes[i]);
    }
    image.SaveHex(file);
}

// A window and the virtual programmers announced in its device map.
class BoardWindowFixture : public WindowFixture {
protected:
    void TearDown() override {
        Unhook();
        Form.reset();  // closes the port before the boards go
        Boards.clear();
        WindowFixture::TearDown();
    }

    sim::VirtualProgrammer& Plug(const sim::BoardOptions& options,
                                 const std::string& name = "board") {
        Boards.push_back(std::make_unique<sim::VirtualProgrammer>(options));
        Boards.back()->Announce(Map.Path().string(), name);
        Boards.back()->Start();
        return *Boards.back();
    }

    // Ticks by hand until the label shows `label` (a few ticks at most).
    bool TickUntilLabel(const QString& label) {
        for (int tick = 0; tick < 5; ++tick) {
            Form->Timer1Timer();
            if (!WaitIdle()) return false;
            if (Label().text() == label) return true;
        }
        return false;
    }

    // send.hex holding `bytes` from address 0, for a chip of `size` bytes.
    QString HexFile(const std::vector<std::uint8_t>& bytes, std::uint16_t size) {
        const std::string file = Files.File("send.hex");
        SaveHexFile(file, bytes, size);
        return QString::fromStdString(file);
    }

    // When the link reaches `position` of the pass whose status starts with
    // `pass`, `action` runs on the GUI thread (a key, a close), and the link
    // waits there until the window has asked it to stop.
    void AtPosition(const QString& pass, int position, std::function<void()> action) {
        TProgrammerLink& link = Form->Link();
        TLinkRunner::TWatch watch;
        watch.Status = [this](const std::string& text) {
            LinkStatus = QString::fromStdString(text);
        };
        watch.Position = [this, &link, pass, position, action](int at) {
            if (Reached || at != position || !LinkStatus.startsWith(pass)) return;
            Reached = true;
            QMetaObject::invokeMethod(Form.get(), action, Qt::QueuedConnection);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!link.StopRequested() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
        };
        Form->Runner().SetWatch(std::move(watch));
    }
    // Escape, as it comes in from the keyboard on the GUI thread.
    void PressEscape() {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(Form.get(), &escape);
    }
    void Unhook() {
        if (Form) Form->Runner().SetWatch({});
        Reached = false;
    }

    std::vector<std::unique_ptr<sim::VirtualProgrammer>> Boards;
    TTempDir Files;
    QString LinkStatus;  // the link's thread only
    std::atomic<bool> Reached{false};
};

}  // namespace corvane::apptest
