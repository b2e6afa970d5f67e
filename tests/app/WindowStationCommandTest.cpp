// `corvane --station FILE [options]`, the real program: it opens straight
// into a running station and ends, asked by the system, once its chips are
// done; a command line or a file it refuses says why in corvane-cli's words.
#include <signal.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include "BoardWindowFixture.h"

namespace corvane::apptest {
namespace {

class WindowStationCommandTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (Window.state() != QProcess::NotRunning) {
            Window.kill();
            Window.waitForFinished();
        }
    }
    void Start(const QStringList& options) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CORVANE_SERIALCOMM", QString::fromStdString(Map.Path().string()));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(Files.File("config")));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        Window.setProcessEnvironment(env);
        Window.setWorkingDirectory(QString::fromStdString(Files.Path().string()));
        Window.start(CORVANE_APP_PATH, QStringList{"--station"} + options);
        ASSERT_TRUE(Window.waitForStarted());
    }
    QByteArray Log() const {
        QFile log(QString::fromStdString(Files.File("log.csv")));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

    TTempDir Map;
    TTempDir Files;
    QProcess Window;
};

TEST_F(WindowStationCommandTest, OpensIntoARunningStation) {
    sim::VirtualProgrammer board(QuickBoard(sim::ChipFromCode("51")));
    board.Announce(Map.Path().string(), "board");
    board.Start();
    SaveHexFile(Files.File("send.hex"), Pattern(200), 4096);
    Start({"send.hex", "--log", "log.csv", "--serial", "0x700=5"});
    ASSERT_TRUE(ServeUntil([&] { return Log().count('\n') == 2; }, 60000)) << Log().toStdString();
    EXPECT_TRUE(Log().contains(",5,0x0700,le16,used,Complete!,0,"));
    kill(static_cast<pid_t>(Window.processId()), SIGTERM);
    ASSERT_TRUE(Window.waitForFinished(60000));
    EXPECT_EQ(Window.exitCode(), 128 + SIGTERM);
}

TEST_F(WindowStationCommandTest, SaysWhyItRefusesAStart) {
    SaveHexFile(Files.File("send.hex"), Pattern(200), 4096);
    struct Case {
        QStringList Options;
        int Status;
        const char* Says;
    };
    const Case cases[] = {
        {{"send.hex", "--chips"}, 2, "corvane: --chips"},
        {{"missing.hex"}, 3, "corvane: missing.hex"},
        {{"send.hex", "--serial", "0x10=1"}, 2, "corvane: the serial number at 0010-0011 would"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Options.join(' ').toStdString());
        Start(c.Options);
        ASSERT_TRUE(Window.waitForFinished(30000));
        EXPECT_EQ(Window.exitCode(), c.Status);
        EXPECT_TRUE(Window.readAllStandardError().contains(c.Says));
    }
}

}  // namespace
}  // namespace corvane::apptest
