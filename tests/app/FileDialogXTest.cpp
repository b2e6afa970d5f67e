// The file dialogs on a real X server (run under xvfb-run): a path typed into
// the Send dialog and Enter pressed while the completion list shows closes
// the dialog and leaves nothing of it on the screen; the dialogs open in the
// folder last used. Keys are typed with xdotool, as a user's keyboard would,
// and what is mapped is asked of the X server with xwininfo.
#include <QAbstractItemView>
#include <QCompleter>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QWindow>
#include <fstream>

#include "AppTestSupport.h"
#include "XSupport.h"

namespace corvane::apptest {
namespace {

// The X windows that are mapped (viewable), by id.
QStringList MappedWindows() {
    QStringList mapped;
    const QString tree = RunProgram("xwininfo", {"-root", "-tree"});
    for (const QString& line : tree.split('\n')) {
        const QString trimmed = line.trimmed();
        if (!trimmed.startsWith("0x")) continue;
        const QString id = trimmed.section(' ', 0, 0);
        const QString info = RunProgram("xwininfo", {"-id", id});
        if (info.contains("Map State: IsViewable")) mapped << id;
    }
    return mapped;
}

class FileDialogXTest : public WindowFixture {
protected:
    void SetUp() override {
        if (!OnX()) GTEST_SKIP() << "needs an X server (run under xvfb-run)";
        WindowFixture::SetUp();
        Form->SetFileChooser(nullptr);  // the real dialogs
        Form->Timer1().stop();
        Form->show();
        ASSERT_TRUE(ServeUntil([&] { return Form->windowHandle()->isExposed(); }));
    }

    // A click on the chip's label, as a user clicks into the window before typing.
    void ClickOnTheWindow() {
        const QPoint at = Label().mapToGlobal(Label().rect().center());
        RunProgram("xdotool",
                   {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }

    QFileDialog& Dialog(const char* name) { return Control<QFileDialog>(*Form, name); }
};

TEST_F(FileDialogXTest, EnterOnTheCompletionListLeavesNothingOfTheDialogMapped) {
    ShowKind(ck89C51);
    TTempDir files;
    { std::ofstream(files.File("program-one.hex")) << ":00000001FF\n"; }
    { std::ofstream(files.File("program-two.hex")) << ":00000001FF\n"; }
    const QStringList before = MappedWindows();

    QFileDialog& dialog = Dialog("OpenDialog1");
    dialog.setDirectory(QString::fromStdString(files.Path().string()));

    // The user, step by step, while the dialog runs its own loop: types the
    // path of a file, which the completion list shows as it is typed, and
    // presses Enter while the list is open.
    enum { Opening, Typed, Entered, Closed } step = Opening;
    bool shown = false;
    QWidget* popup = nullptr;
    QString popupId;
    QTimer user;
    user.setInterval(50);
    int enters = 0;
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
        switch (step) {
            case Opening:
                if (dialog.isVisible() && dialog.windowHandle()->isExposed() && name != nullptr &&
                    name->hasFocus()) {
                    shown = true;
                    Keys({"type", "--delay", "30",
                          QString::fromStdString(files.Path().string()) + "/program-two.hex"});
                    step = Typed;
                }
                break;
            case Typed:
                for (QCompleter* completer : dialog.findChildren<QCompleter*>()) {
                    QWidget* list = completer->popup();
                    if (list != nullptr && list->isVisible() &&
                        name->text().endsWith("program-two.hex")) {
                        popup = list;
                        popupId = WindowId(*list);
                        Keys({"key", "Return"});
                        ++enters;
                        step = Entered;
                    }
                }
                break;
            case Entered:
                if (!dialog.isVisible()) {
                    step = Closed;
                } else if (!popup->isVisible() && enters < 2) {
                    // The Enter only closed the list: once more, as a user would.
                    Keys({"key", "Return"});
                    ++enters;
                }
                break;
            case Closed:
                break;
        }
    });
    user.start();
    QTimer::singleShot(0, &Send(), &QPushButton::click);
    ASSERT_TRUE(ServeUntil([&] { return step == Closed && !Form->Busy(); }, 60000))
        << "step " << step << ", dialog shown " << shown;
    user.stop();
    QApplication::processEvents();
    ASSERT_NE(popup, nullptr);

    EXPECT_FALSE(popup->isVisible());
    const QStringList after = MappedWindows();
    EXPECT_FALSE(after.contains(popupId)) << "the completion list is still mapped";
    EXPECT_FALSE(after.contains(WindowId(dialog))) << "the dialog is still mapped";
    for (const QString& id : after) EXPECT_TRUE(before.contains(id)) << id.toStdString();
    EXPECT_EQ(Status().text(), "No data to program!");

    // The next click and key reach the window: Alt+R asks for a file to save.
    Form->SetFileChooser([&](TFrmMain::TFileDialog kind) -> std::optional<QString> {
        Asked.push_back(kind);
        return std::nullopt;
    });
    // Keys go where the X server's focus is when they are sent: to the window
    // once it is active again.
    ClickOnTheWindow();
    ASSERT_TRUE(ServeUntil([&] { return Form->isActiveWindow(); })) << "the window is not active";
    Keys({"key", "alt+r"});
    ASSERT_TRUE(ServeUntil([&] { return !Asked.empty(); }, 5000)) << "Alt+R went nowhere";
    EXPECT_EQ(Asked[0], TFrmMain::TFileDialog::Save);
}

}  // namespace
}  // namespace corvane::apptest
