// The program started from a shell: the real tarvotcpc binary connecting to a loopback peer from
// its command line, refusing bad arguments without a window, and the connect dialog opened with a
// host.
#include <QComboBox>
#include <QProcess>
#include <QProcessEnvironment>

#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <iterator>
#include <memory>

#include "dialogs/connect_dialog.hpp"
#include "settings/ini.hpp"
#include "window/main_window.hpp"
#include "settings/settings.hpp"
#include "support/proxy_programs.hpp"
#include "support/test_servers.hpp"
#include "support/ui_support.hpp"

using tarvotcpc::testing::TestServer;

namespace tarvotcpc::ui {
namespace {

using testing::SettingsFile;
using testing::WhenModal;

std::vector<std::string> HostsInFile(const std::string &path) {
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    return IniSectionEntries(text, kSectionHosts);
}

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// The program with args and no display at all: anything that tried to open a window would fail.
Run RunWithoutDisplay(const QStringList &args) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TARVOTCPC_PROGRAM), args);
    Run run;
    if (!process.waitForFinished(30000)) return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

class CommandLineStartTest : public QObject {
    Q_OBJECT

  private slots:
    void connectsToTheDestinationAtStart();
    void connectsThroughTheProxyGivenAndKeepsItWithoutItsPassword();
    void badArgumentsExitWithStatusTwoAndNoWindow();
    void helpAndVersion();
    void hostAloneFillsTheConnectDialog();
    void theLogSurvivesAKillWithAtMostTheLastSecondsMissing();
};

void CommandLineStartTest::connectsToTheDestinationAtStart() {
    auto accepted = std::make_shared<std::atomic<bool>>(false);
    TestServer peer([accepted](int fd, TestServer &) {
        accepted->store(true);
        const char greeting[] = "hello\r\n";
        [[maybe_unused]] ssize_t ignored = write(fd, greeting, sizeof greeting - 1);
        char buffer[256];
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
    });
    // Already in the history: the dialog's rules move it to the top rather than adding it twice.
    const std::string destination = "127.0.0.1:" + std::to_string(peer.Port());
    SettingsFile settings({"hostsave=1"}, {"host0=older:25", "host1=" + destination});

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(TARVOTCPC_PROGRAM),
                  {QStringLiteral("--settings"), QString::fromStdString(settings.Path()),
                   QStringLiteral("127.0.0.1:%1").arg(peer.Port())});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(accepted->load(), 30000);
    QCOMPARE(HostsInFile(settings.Path()),
             (std::vector<std::string>{"host0=" + destination, "host1=older:25"}));
    QCOMPARE(program.state(), QProcess::Running);
    program.terminate();
    QVERIFY(program.waitForFinished(30000));
}

void CommandLineStartTest::connectsThroughTheProxyGivenAndKeepsItWithoutItsPassword() {
    const std::string microsocks = tarvotcpc::testing::ProgramPath("microsocks");
    if (microsocks.empty()) QSKIP("microsocks is not installed (Debian package microsocks)");
    tarvotcpc::testing::ProxyProgram proxy;
    QVERIFY(proxy.Start({microsocks, "-i", "127.0.0.1", "-p", std::to_string(proxy.port), "-u",
                         "alice", "-P", "s3cret"}));
    auto accepted = std::make_shared<std::atomic<bool>>(false);
    TestServer peer([accepted](int, TestServer &server) {
        accepted->store(true);
        server.WaitStop();
    });
    SettingsFile settings({"hostsave=1"}, {});
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    const QString url =
        QStringLiteral("socks5h://alice:s3cret@") + QString::fromStdString(proxy.Address());
    program.start(QStringLiteral(TARVOTCPC_PROGRAM),
                  {QStringLiteral("--settings"), QString::fromStdString(settings.Path()),
                   QStringLiteral("--proxy"), url,
                   QStringLiteral("127.0.0.1:%1").arg(peer.Port())});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(accepted->load(), 30000);
    const std::string entry = "host0=127.0.0.1:" + std::to_string(peer.Port()) +
                              " (プロキシ socks5h://alice@" + proxy.Address() + ")";
    QCOMPARE(HostsInFile(settings.Path()), (std::vector<std::string>{entry}));
    program.terminate();
    QVERIFY(program.waitForFinished(30000));
}

void CommandLineStartTest::badArgumentsExitWithStatusTwoAndNoWindow() {
    const QStringList bad[] = {
        {QStringLiteral("--bogus")},    {QStringLiteral("host:0")},
        {QStringLiteral("::1:80")},     {QStringLiteral("a:1"), QStringLiteral("b:2")},
        {QStringLiteral("--settings")},
    };
    for (const QStringList &args : bad) {
        const Run run = RunWithoutDisplay(args);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.startsWith(QStringLiteral("tarvotcpc: ")), qPrintable(run.err));
        QVERIFY2(run.err.contains(QStringLiteral("--help")), qPrintable(run.err));
        QCOMPARE(run.err.count(QLatin1Char('\n')), 2);
        QVERIFY(run.out.isEmpty());
    }
}

void CommandLineStartTest::helpAndVersion() {
    const Run version = RunWithoutDisplay({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QStringLiteral("tarvotcpc " TARVOTCPC_VERSION "\n"));
    const Run help = RunWithoutDisplay({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(
        help.out.startsWith(QStringLiteral("Usage: tarvotcpc [OPTIONS] [[udp://]HOST[:PORT]]")));
    QVERIFY(help.err.isEmpty());
}

void CommandLineStartTest::hostAloneFillsTheConnectDialog() {
    SettingsFile settings({"hostsave=1"}, {"host0=newest:80"});
    MainWindow window(settings.Path());
    window.show();
    QString shown;
    WhenModal<ConnectDialog>([&shown](ConnectDialog *dialog) {
        shown = dialog->HostBox()->currentText();
        dialog->reject();
    });
    window.OpenConnectDialog(QStringLiteral("example.org"));
    QCOMPARE(shown, QStringLiteral("example.org"));
    QVERIFY(!window.Controller().HasConnection());
    QCOMPARE(HostsInFile(settings.Path()), (std::vector<std::string>{"host0=newest:80"}));
}

} // namespace
} // namespace tarvotcpc::ui

namespace tarvotcpc::ui {
namespace {

// A peer sends numbered lines every 100 ms to the real program, which logs them; after a kill -9
// the log holds exactly the first lines, in order, missing no more than the last 2 s of them.
void CommandLineStartTest::theLogSurvivesAKillWithAtMostTheLastSecondsMissing() {
    using namespace std::chrono_literals;
    auto sent = std::make_shared<std::atomic<int>>(0);
    TestServer peer([sent](int fd, TestServer &) {
        for (int i = 1;; ++i) {
            const std::string line = "line " + std::to_string(i) + "\r\n";
            if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(line.size()))
                return;
            sent->store(i);
            std::this_thread::sleep_for(100ms);
        }
    });
    tarvotcpc::testing::TempDir logs;
    SettingsFile settings({"logfolder=" + logs.Path()});
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(TARVOTCPC_PROGRAM),
                  {QStringLiteral("--settings"), QString::fromStdString(settings.Path()),
                   QStringLiteral("127.0.0.1:%1").arg(peer.Port())});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(sent->load() >= 35, 30000);
    const int sentAtKill = sent->load();
    program.kill(); // SIGKILL: nothing of the program runs after it
    QVERIFY(program.waitForFinished(30000));

    const QStringList files = QDir(QString::fromStdString(logs.Path())).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QFile file(QString::fromStdString(logs.Path()) + QLatin1Char('/') + files.first());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    int expected = 1;
    QRegularExpressionMatchIterator found =
        QRegularExpression(QString::fromUtf8("line (\\d+)␍␊")).globalMatch(text);
    while (found.hasNext()) {
        QCOMPARE(found.next().captured(1).toInt(), expected);
        ++expected;
    }
    const int logged = expected - 1;
    qInfo("%d of %d lines sent were in the log at the kill", logged, sentAtKill);
    QVERIFY2(logged >= sentAtKill - 20,
             qPrintable(QStringLiteral("%1 of %2 logged").arg(logged).arg(sentAtKill)));
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::CommandLineStartTest)
#include "command_line_start_test.moc"
