#include <QFileDialog>
#include <QKeyEvent>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <string>

#include "AppTestSupport.h"

namespace corvane::apptest {
namespace {

using WindowTest = WindowFixture;

TEST_F(WindowTest, StartsWithEveryControlInItsInitialState) {
    TFrmMain& form = *Form;
    EXPECT_EQ(form.windowTitle(), "Corvane V4.0");
    EXPECT_EQ(form.size(), QSize(302, 146));  // with the strip of "Station..."
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.pos(), QPoint(220, 108));
    EXPECT_FALSE(form.windowFlags() &
                 (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(form.font().family(), "MS Sans Serif");
    EXPECT_EQ(form.font().pointSize(), 8);
    EXPECT_FALSE(form.windowIcon().isNull());

    auto& group1 = Control<QGroupBox>(form, "GroupBox1");
    auto& group2 = Control<QGroupBox>(form, "GroupBox2");
    EXPECT_EQ(group1.title(), "Target Chip");
    EXPECT_EQ(group1.geometry(), QRect(0, 0, 217, 98));
    EXPECT_EQ(group2.title(), "Option");
    EXPECT_EQ(group2.geometry(), QRect(217, 0, 85, 98));

    EXPECT_TRUE(Label().text().isEmpty());
    EXPECT_EQ(Label().geometry(), QRect(2, 15, 213, 26));
    EXPECT_TRUE(Label().font().bold());
    EXPECT_EQ(Label().font().pointSize(), 18);
    EXPECT_TRUE(Label().alignment() & Qt::AlignHCenter);

    EXPECT_TRUE(MemSize().isHidden());
    EXPECT_EQ(MemSize().title(), "Code Memory");
    auto& kb2 = Control<QRadioButton>(form, "rdoMemSize2KB");
    auto& kb4 = Control<QRadioButton>(form, "rdoMemSize4KB");
    EXPECT_EQ(kb2.text(), "2KB");
    EXPECT_EQ(kb4.text(), "4KB");
    EXPECT_LT(kb2.x() + kb2.width(), kb4.x());  // two columns, side by side
    EXPECT_EQ(kb2.y(), kb4.y());
    EXPECT_EQ(form.MemSizeIndex(), 0);

    EXPECT_TRUE(Status().text().isEmpty());
    EXPECT_EQ(Status().palette().color(QPalette::WindowText), QColor(Qt::blue));
    EXPECT_EQ(Status().frameShadow(), QFrame::Sunken);
    EXPECT_EQ(Status().alignment(), Qt::AlignCenter);
    EXPECT_EQ(Status().geometry(), QRect(2, 76, 213, 20));

    EXPECT_EQ(Lock().text(), "&Lock");
    EXPECT_FALSE(Lock().isChecked());
    EXPECT_EQ(FastVerify().text(), "&Fast Verify");
    EXPECT_FALSE(FastVerify().isChecked());
    EXPECT_TRUE(FastVerify().isEnabled());

    EXPECT_EQ(Send().text(), "&Send");
    EXPECT_FALSE(Send().isEnabled());
    EXPECT_TRUE(Send().isDefault());
    EXPECT_FALSE(Send().icon().isNull());
    EXPECT_EQ(Read().text(), "&Read");
    EXPECT_FALSE(Read().isEnabled());
    EXPECT_FALSE(Read().icon().isNull());

    EXPECT_EQ(Progress().minimum(), 0);
    EXPECT_EQ(Progress().maximum(), 100);
    EXPECT_EQ(Progress().value(), 0);
    EXPECT_EQ(Progress().geometry(), QRect(0, 98, 302, 20));

    EXPECT_TRUE(form.Timer1().isActive());
    EXPECT_EQ(form.Timer1().interval(), 1000);
    EXPECT_FALSE(form.Busy());
    EXPECT_EQ(form.ChipKind(), ckNone);
    EXPECT_EQ(ImageSizes(), std::make_pair(0, 0));
}

TEST_F(WindowTest, FileDialogsAskForIntelHexFiles) {
    auto& open = Control<QFileDialog>(*Form, "OpenDialog1");
    auto& save = Control<QFileDialog>(*Form, "SaveDialog1");
    for (QFileDialog* dialog : {&open, &save}) {
        EXPECT_EQ(dialog->nameFilters(),
                  (QStringList{"Intel Hex File (*.hex)", "Binary File (*.bin)", "All Files (*)"}));
        EXPECT_EQ(dialog->defaultSuffix(), "hex");
        // The type chosen gives a typed name its extension.
        emit dialog->filterSelected("Binary File (*.bin)");
        EXPECT_EQ(dialog->defaultSuffix(), "bin");
        emit dialog->filterSelected("All Files (*)");
        EXPECT_EQ(dialog->defaultSuffix(), "");
        emit dialog->filterSelected("Intel Hex File (*.hex)");
    }
    EXPECT_EQ(open.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(open.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(save.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_FALSE(save.testOption(QFileDialog::DontConfirmOverwrite));

    // Send asks with the open dialog, Read with the save dialog; a cancelled
    // dialog runs nothing and leaves the window idle.
    ShowKind(ck89C51);
    Send().click();
    Read().click();
    ASSERT_EQ(Asked.size(), 2u);
    EXPECT_EQ(Asked[0], TFrmMain::TFileDialog::Open);
    EXPECT_EQ(Asked[1], TFrmMain::TFileDialog::Save);
    EXPECT_TRUE(Status().text().isEmpty());
    EXPECT_FALSE(Form->Busy());
    EXPECT_TRUE(Errors.isEmpty());
}

// Enter presses Send, the default button, once it is enabled; Escape does not
// close the window as it would close a dialog.
TEST_F(WindowTest, EnterPressesSendAndEscapeKeepsTheWindow) {
    Form->show();
    auto press = [&](Qt::Key key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(Form.get(), &event);
    };
    press(Qt::Key_Return);
    EXPECT_TRUE(Asked.empty());
    ShowKind(ck89C52);
    press(Qt::Key_Return);
    ASSERT_EQ(Asked.size(), 1u);
    EXPECT_EQ(Asked[0], TFrmMain::TFileDialog::Open);
    press(Qt::Key_Escape);
    EXPECT_TRUE(Form->isVisible());
}

// Labels of kinds 1 to 6 sit lower; the 2051/4051 label moves up to make room
// for the size choice, which only it has, and which also rules out the
// programmer's checksum.
TEST_F(WindowTest, DisplayFollowsTheChipKind) {
    Status().setText("Available port not found!");
    ShowKind(ck89C2051);
    EXPECT_EQ(Label().text(), "89C2051/4051");
    EXPECT_EQ(Label().y(), 15);
    EXPECT_FALSE(MemSize().isHidden());
    EXPECT_FALSE(FastVerify().isEnabled());
    EXPECT_TRUE(Send().isEnabled());
    EXPECT_TRUE(Read().isEnabled());
    EXPECT_TRUE(Status().text().isEmpty());
    EXPECT_EQ(ImageSizes(), std::make_pair(2048, 2048));

    // Losing the chip empties and reddens the label, disables both buttons,
    // and leaves the status line and the fast-verify box as they were.
    Status().setText("Erase Failed!");
    ShowKind(ckNone);
    EXPECT_TRUE(Label().text().isEmpty());
    EXPECT_EQ(Label().y(), 30);
    EXPECT_EQ(Label().palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_TRUE(MemSize().isHidden());
    EXPECT_FALSE(Send().isEnabled());
    EXPECT_FALSE(Read().isEnabled());
    EXPECT_EQ(Status().text(), "Erase Failed!");
    EXPECT_FALSE(FastVerify().isEnabled());

    ShowKind(ck89C2051);
    EXPECT_EQ(Label().text(), "89C2051/4051");
    EXPECT_NE(Label().palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_FALSE(MemSize().isHidden());
    EXPECT_TRUE(Status().text().isEmpty());

    const std::pair<TChipKind, const char*> kinds[] = {{ck89C51, "89C51"}, {ck89LV51, "89LV51"},
                                                       {ck89C52, "89C52"}, {ck89LV52, "89LV52"},
                                                       {ck89C55, "89C55"}, {ck89LV55, "89LV55"}};
    for (const auto& [kind, label] : kinds) {
        SCOPED_TRACE(label);
        Status().setText("Complete!");
        ShowKind(kind);
        EXPECT_EQ(Label().text(), label);
        EXPECT_EQ(Label().y(), 30);
        EXPECT_EQ(Label().palette().color(QPalette::WindowText),
                  Control<QGroupBox>(*Form, "GroupBox1").palette().color(QPalette::WindowText));
        EXPECT_TRUE(MemSize().isHidden());
        EXPECT_TRUE(FastVerify().isEnabled());
        EXPECT_TRUE(Send().isEnabled() && Read().isEnabled());
        EXPECT_TRUE(Status().text().isEmpty());

        ShowKind(ck89C2051);
        EXPECT_FALSE(FastVerify().isEnabled());
        EXPECT_FALSE(MemSize().isHidden());
        EXPECT_EQ(Label().y(), 15);
    }
}

TEST_F(WindowTest, MemorySizeChoiceSizesBothImages) {
    ShowKind(ck89C2051);
    auto& kb2 = Control<QRadioButton>(*Form, "rdoMemSize2KB");
    auto& kb4 = Control<QRadioButton>(*Form, "rdoMemSize4KB");
    kb4.click();
    EXPECT_EQ(Form->MemSizeIndex(), 1);
    EXPECT_EQ(ImageSizes(), std::make_pair(4096, 4096));
    kb2.click();
    EXPECT_EQ(ImageSizes(), std::make_pair(2048, 2048));

    // The choice is kept when the chip comes back.
    kb4.click();
    ShowKind(ckNone);
    ShowKind(ck89C2051);
    EXPECT_EQ(ImageSizes(), std::make_pair(4096, 4096));
}

TEST_F(WindowTest, TicksDoNothingWhileBusy) {
    TFrmMainTestAccess::Busy(*Form) = true;
    Form->Timer1Timer();
    EXPECT_TRUE(Status().text().isEmpty());
    EXPECT_TRUE(Form->Busy());
    EXPECT_TRUE(Form->Timer1().isActive());

    // A tick that arrives while the file dialog is open does nothing either.
    TFrmMainTestAccess::Busy(*Form) = false;
    ShowKind(ck89C51);
    Form->SetFileChooser([&](TFrmMain::TFileDialog) -> std::optional<QString> {
        EXPECT_TRUE(Form->Busy());
        Form->Timer1Timer();
        return std::nullopt;
    });
    Send().click();
    EXPECT_EQ(Label().text(), "89C51");  // no poll has found the chip gone
    ShowKind(ckNone);

    // Idle again, a tick polls: the map is empty.
    TFrmMainTestAccess::Busy(*Form) = false;
    Tick();
    EXPECT_EQ(Status().text(), "Available port not found!");
    EXPECT_FALSE(Form->Busy());
    EXPECT_TRUE(Form->Timer1().isActive());
    EXPECT_TRUE(Errors.isEmpty());
}

// One file dragged from the file manager is taken, and dropped it is sent
// without a dialog; two files are not taken.
TEST_F(WindowTest, ADroppedFileIsSentWithoutADialog) {
    ShowKind(ck89C51);
    const auto drag = [this](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(Form.get(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(Form.get(), &drop);
        return true;
    };
    const QUrl file = QUrl::fromLocalFile("/nonexistent/a.hex");
    EXPECT_FALSE(drag({file, file}));
    EXPECT_FALSE(Form->Working());
    EXPECT_TRUE(drag({file}));
    EXPECT_TRUE(Form->Working());
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Asked.empty());
    EXPECT_EQ(Errors.size(), 1);  // no such file
}

TEST_F(WindowTest, ProgressBarTakesOneStepPasses) {
    TWindowRules& rules = Form->Rules();
    rules.SetProgressRange(0, 0);
    EXPECT_LT(Progress().minimum(), Progress().maximum());  // no busy animation
    rules.SetProgressRange(0, 2047);
    rules.SetProgressPosition(1000);
    EXPECT_EQ(Progress().maximum(), 2047);
    EXPECT_EQ(Progress().value(), 1000);
}

}  // namespace
}  // namespace corvane::apptest
