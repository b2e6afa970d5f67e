// Why ports were refused shows as the status line's tooltip: the status text
// itself stays the link's, and no box interrupts the user.
#include "AppTestSupport.h"

namespace corvane::apptest {
namespace {

using WindowPortNoticeTest = WindowFixture;

TEST_F(WindowPortNoticeTest, TheNoticeIsTheStatusLinesTooltipBesideItsText) {
    IProgrammerView& view = Form->Rules();
    view.ShowStatus("Available port not found!");
    const std::string notice =
        "/dev/ttyUSB0: Permission denied\nSerial ports may be opened by the members of the group "
        "that owns them (\"dialout\"). ...";
    view.ShowPortNotice(notice);
    EXPECT_EQ(Status().text(), QString("Available port not found!"));
    EXPECT_EQ(Status().toolTip(), QString::fromStdString(notice));
    EXPECT_TRUE(Messages.isEmpty());
    EXPECT_TRUE(Errors.isEmpty());

    // A later status text leaves the notice; an empty notice takes it away.
    view.ShowStatus("");
    EXPECT_EQ(Status().toolTip(), QString::fromStdString(notice));
    view.ShowPortNotice("");
    EXPECT_TRUE(Status().toolTip().isEmpty());
}

TEST_F(WindowPortNoticeTest, TheLinksNoticeReachesTheTooltipFromItsThread) {
    Form->Runner().Worker().ShowPortNotice("/dev/ttyS4: Permission denied");
    EXPECT_TRUE(ServeUntil([this] { return !Status().toolTip().isEmpty(); }));
    EXPECT_EQ(Status().toolTip(), QString("/dev/ttyS4: Permission denied"));
}

}  // namespace
}  // namespace corvane::apptest
