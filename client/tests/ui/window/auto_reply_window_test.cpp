// Automatic replies and reply times through the real window against Python peers: the window
// listening plays a device's server in every encoding, line ending and escape mode and over TLS,
// echoing a captured group; a reply loop stops at the limit; the reply times are the peer's own
// delays, in the margin, the status bar, the summary, the text save and the log.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QStatusBar>
#include <QtTest>

#include <sstream>

#include "exchange/auto_reply.hpp"
#include "session/reply_settings.hpp"
#include "support/peer_process.hpp"
#include "support/test_servers.hpp"
#include "support/ui_support.hpp"
#include "view/transcript_view.hpp"
#include "window/main_window.hpp"
#include "window/receive_page.hpp"
#include "window/save_runner.hpp"

namespace tarvotcpc::ui {
namespace {

using namespace std::chrono_literals;
using tarvotcpc::testing::PeerProcess;
using tarvotcpc::testing::TempDir;
using testing::BoxAnswerer;
using testing::FileDialogAnswerer;
using testing::SettingsFile;

constexpr int kWaitMs = 20000;

std::string ReplyPeer() {
    return std::string(TARVOTCPC_TEST_DATA) + "/reply_peer.py";
}

// Waits for the peer's line while the window's events go on (a blocking wait would hold back the
// replies the peer waits for).
bool PumpUntilPeerSays(PeerProcess &peer, const std::string &needle,
                       std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!peer.WaitFor(needle, std::chrono::milliseconds(5))) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QTest::qWait(5);
    }
    return true;
}

QAction *Menu(MainWindow &window, const char *name) {
    return window.findChild<QAction *>(QString::fromLatin1(name));
}

uint16_t ListeningPort(MainWindow &window) {
    const std::string status = window.Controller().StatusText();
    const std::size_t colon = status.find(':');
    return colon == std::string::npos ? 0
                                      : static_cast<uint16_t>(std::stoi(status.substr(colon + 1)));
}

QString SaveText(MainWindow &window, const std::string &path) {
    FileDialogAnswerer answer(QString::fromStdString(path));
    QSignalSpy done(window.Saver(), &SaveRunner::finished);
    window.Commands().Action(Command::SaveTranscript)->trigger();
    if (!done.wait(30000) || !done.first().first().toBool()) return {};
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString LogText(const std::string &folder) {
    const QStringList files = QDir(QString::fromStdString(folder)).entryList(QDir::Files);
    if (files.size() != 1) return {};
    QFile file(QString::fromStdString(folder) + "/" + files.first());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

std::vector<const Note *> AutomaticNotes(const Transcript &transcript) {
    std::vector<const Note *> notes;
    for (const Note &note : transcript.Notes())
        if (note.kind == NoteKind::Automatic) notes.push_back(&note);
    return notes;
}

class AutoReplyWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void listeningAnswersADeviceInEveryEncoding_data();
    void listeningAnswersADeviceInEveryEncoding();
    void aReplyLoopStopsAtTheLimit();
    void replyTimesAreThePeersDelays();
};

void AutoReplyWindowTest::listeningAnswersADeviceInEveryEncoding_data() {
    QTest::addColumn<QString>("encoding"); // as the settings file stores it
    QTest::addColumn<QString>("codec");    // Python's name for it
    QTest::addColumn<QString>("ending");
    QTest::addColumn<bool>("escapes");
    QTest::addColumn<bool>("tls");
    QTest::newRow("UTF-8 CRLF") << "utf-8"
                                << "utf-8"
                                << "crlf" << false << false;
    QTest::newRow("UTF-8 escapes TLS") << "utf-8"
                                       << "utf-8"
                                       << "lf" << true << true;
    QTest::newRow("Shift_JIS LF escapes") << "shift_jis"
                                          << "shift_jis"
                                          << "lf" << true << false;
    QTest::newRow("EUC-JP CR") << "euc-jp"
                               << "euc-jp"
                               << "cr" << false << false;
    QTest::newRow("ISO-2022-JP CRLF escapes") << "iso-2022-jp"
                                              << "iso2022_jp"
                                              << "crlf" << true << false;
    QTest::newRow("Latin-1 none") << "latin-1"
                                  << "latin-1"
                                  << "none" << false << false;
}

// The window listens, a device connects and sends "PING <word>" in pieces: the rule's reply with
// the word goes back in the exact bytes Python's codec gives, once per PING, and the record marks
// each as automatic in the margin, the text save and the log.
void AutoReplyWindowTest::listeningAnswersADeviceInEveryEncoding() {
    QFETCH(QString, encoding);
    QFETCH(QString, codec);
    QFETCH(QString, ending);
    QFETCH(bool, escapes);
    QFETCH(bool, tls);
    TempDir logs;
    SettingsFile settings({"viewencoding=" + encoding.toStdString(),
                           "sendlineending=" + ending.toStdString(),
                           std::string("sendescapes=") + (escapes ? "1" : "0"), "viewtimes=1",
                           "viewsent=1", "logfolder=" + logs.Path()});
    QVERIFY(SaveReplyRules(settings.Path(),
                           {{"pong", ReplyMatch::Regex, "PING (\\S+)\\r\\n", "PONG %1%\n"},
                            {"never", ReplyMatch::StartsWith, "PONG", "loop\n"}}));
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    window.show();
    QAction *autoReplies = Menu(window, "autoRepliesAction");
    QVERIFY(!autoReplies->isEnabled()); // nothing to answer yet

    ListenParams params;
    params.tls = tls;
    window.ListenAtStart(params);
    QVERIFY(window.Controller().Listening());
    QVERIFY(autoReplies->isEnabled());
    autoReplies->trigger();
    QVERIFY(autoReplies->isChecked());
    QVERIFY(window.Controller().AutoRepliesOn());

    std::vector<std::string> argv = {
        "python3",           ReplyPeer(),         "device", std::to_string(ListeningPort(window)),
        codec.toStdString(), ending.toStdString()};
    if (tls) argv.push_back("tls");
    PeerProcess device(argv);
    QVERIFY2(PumpUntilPeerSays(device, "done", 30s), device.Output().c_str());
    const std::string output = device.Output();
    QVERIFY2(output.find("bad") == std::string::npos && output.find("extra") == std::string::npos,
             output.c_str());
    std::size_t answered = 0;
    for (std::size_t at = output.find("ok "); at != std::string::npos;
         at = output.find("ok ", at + 1))
        ++answered;
    QVERIFY(answered >= 1);

    // Each reply stands in the record behind its mark, as the socket took it.
    const Transcript &record = window.Controller().KeptTranscript();
    QTRY_COMPARE_WITH_TIMEOUT(AutomaticNotes(record).size(), answered, kWaitMs);
    for (const Note *note : AutomaticNotes(record)) {
        QCOMPARE(note->text, std::string("自動応答: pong"));
        QCOMPARE(record.Chunks()[record.ChunkAt(note->offset)].direction, Direction::Sent);
        QCOMPARE(record.Chunks()[record.ChunkAt(note->offset)].offset, note->offset);
    }
    bool marked = false;
    for (const QString &row : window.Receive()->VisibleRows())
        marked = marked || row.contains(QString::fromUtf8("→自動"));
    QVERIFY(marked);

    TempDir saves; // not beside the log, whose folder must hold only the log
    const QString saved = SaveText(window, saves.Path() + "/saved.txt");
    QVERIFY(saved.count(QString::fromUtf8("注記 #1 自動応答: pong")) == qsizetype(answered));
    QTRY_VERIFY_WITH_TIMEOUT(LogText(logs.Path()).count(QString::fromUtf8("自動応答: pong")) ==
                                 qsizetype(answered),
                             kWaitMs);
    window.close();
}

// A peer that echoes everything and a rule that answers what it echoes: the loop goes on until
// the limit stops it, which the record and a warning tell; the switch is off again.
void AutoReplyWindowTest::aReplyLoopStopsAtTheLimit() {
    SettingsFile settings({"sendlineending=lf"});
    QVERIFY(SaveReplyRules(settings.Path(), {{"loop", ReplyMatch::Contains, "ping", "ping\n"}}));
    BoxAnswerer boxes;
    tarvotcpc::testing::TestServer echo(tarvotcpc::testing::Echo());
    MainWindow window(settings.Path());
    window.show();
    window.ConnectTo(Destination{"127.0.0.1", echo.Port()});
    QTRY_VERIFY_WITH_TIMEOUT(!window.PeerLabel()->text().isEmpty(), kWaitMs);
    QAction *autoReplies = Menu(window, "autoRepliesAction");
    autoReplies->trigger();
    QVERIFY(autoReplies->isChecked());
    window.SendEdit()->setPlainText(QStringLiteral("ping\n"));
    window.Commands().Action(Command::Send)->trigger();

    QTRY_VERIFY_WITH_TIMEOUT(!autoReplies->isChecked(), kWaitMs);
    QVERIFY(!window.Controller().AutoRepliesOn());
    const QString limit = QString::fromStdString(ReplyLimitText(ReplyLimit{}));
    QTRY_VERIFY_WITH_TIMEOUT(!boxes.Seen().empty() && boxes.Seen().back().text == limit, kWaitMs);
    const Transcript &record = window.Controller().KeptTranscript();
    QTRY_COMPARE_WITH_TIMEOUT(AutomaticNotes(record).size(), std::size_t(100), kWaitMs);
    bool told = false;
    for (const Note &note : record.Notes())
        told = told || note.text == limit.toStdString();
    QVERIFY(told);
    // The manual send and the hundred replies went out, and nothing after them.
    QTest::qWait(300);
    QCOMPARE(testing::BytesOf(record, Direction::Sent).size(), std::size_t(5 * 101));
    window.close();
}

// A peer that answers after 200 ms, 50 ms and 120 ms: each answer's time is the peer's own
// delay and a little more, in the margin beside its first byte, in the status bar, the text save
// and the log; the summary counts the three.
void AutoReplyWindowTest::replyTimesAreThePeersDelays() {
    TempDir logs;
    SettingsFile settings({"sendlineending=lf", "viewtimes=1", "logfolder=" + logs.Path()});
    BoxAnswerer boxes;
    PeerProcess peer({"python3", ReplyPeer(), "delay", "200", "50", "120"});
    QVERIFY(peer.WaitFor("listening", 10s));
    MainWindow window(settings.Path());
    window.show();
    window.ConnectTo(Destination{"127.0.0.1", peer.PortAfter("listening")});
    QTRY_VERIFY_WITH_TIMEOUT(!window.PeerLabel()->text().isEmpty(), kWaitMs);
    auto *status = window.statusBar()->findChild<QLabel *>(QStringLiteral("replyTimeLabel"));
    QVERIFY(status != nullptr);
    const Transcript &record = window.Controller().KeptTranscript();
    const int waits[] = {200, 50, 120};
    for (int n = 1; n <= 3; ++n) {
        window.SendEdit()->setPlainText(QStringLiteral("ping %1\n").arg(n));
        window.Commands().Action(Command::Send)->trigger();
        const std::string answered = "answered " + std::to_string(n) + " ";
        QVERIFY2(PumpUntilPeerSays(peer, answered, 10s), peer.Output().c_str());
        QTRY_COMPARE_WITH_TIMEOUT(record.ReplyTimes().size(), std::size_t(n), kWaitMs);
        const std::string &out = peer.Output();
        const double measured = std::stod(out.substr(out.find(answered) + answered.size()));
        const int64_t us = record.ReplyTimes().back().us;
        // The peer's wait and no more than a few milliseconds of loopback and scheduling beyond
        // the peer's own reckoning (which starts only once it has read the line, and so may
        // itself come out a little late or early on a busy machine).
        const int64_t waited = int64_t(waits[n - 1]) * 1000;
        QVERIFY2(us >= waited - 3000 && us <= std::max(waited, int64_t(measured * 1000)) + 15000,
                 qPrintable(QStringLiteral("%1 us for a wait of %2 ms, %3 ms by the peer")
                                .arg(us)
                                .arg(waits[n - 1])
                                .arg(measured)));
        QCOMPARE(status->text(), QString::fromStdString("応答 " + ReplyTimeText(us)));
        // The answer's first byte is where its time stands.
        const Chunk &answer = record.Chunks()[record.ChunkAt(record.ReplyTimes().back().offset)];
        QCOMPARE(answer.direction, Direction::Received);
        QCOMPARE(answer.offset, record.ReplyTimes().back().offset);
    }
    const QString margin = QString::fromStdString("← " + ReplyTimeText(record.ReplyTimes()[2].us));
    QTRY_VERIFY_WITH_TIMEOUT(window.Receive()->VisibleRows().join('\n').contains(margin), kWaitMs);

    Menu(window, "replySummaryAction")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!boxes.Seen().empty(), kWaitMs);
    const QString summary = boxes.Seen().back().text;
    QVERIFY2(summary.contains(QString::fromUtf8("(3回)")) &&
                 summary.contains(
                     QString::fromStdString("最大: " + ReplyTimeText(record.ReplyTimes()[0].us))),
             qPrintable(summary));

    TempDir saves;
    const QString saved = SaveText(window, saves.Path() + "/reply-times.txt");
    for (const ReplyTime &reply : record.ReplyTimes()) {
        const QString header = QString::fromStdString("応答時間 " + ReplyTimeText(reply.us));
        QVERIFY2(saved.contains(header), qPrintable(saved));
        QTRY_VERIFY_WITH_TIMEOUT(LogText(logs.Path()).contains(header), kWaitMs);
    }
    window.close();
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::AutoReplyWindowTest)
#include "auto_reply_window_test.moc"
