// Exact bytes out and kept, through the real window offscreen: each send encoding and line
// ending as a real loopback peer reads it (checked against Python's codecs), refusals, escapes,
// loading a binary file, the raw and failing saves, and the connection log.
#include <QAction>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QSignalSpy>

#include <chrono>
#include <string>
#include <vector>

#include "dialogs/file_loader.hpp"
#include "window/main_window.hpp"
#include "settings/options.hpp"
#include "support/peer_process.hpp"
#include "window/save_runner.hpp"
#include "support/ui_support.hpp"

namespace tarvotcpc::ui {
namespace {

using namespace std::chrono_literals;
using tarvotcpc::testing::PeerProcess;
using tarvotcpc::testing::TempDir;
using testing::BoxAnswerer;
using testing::FileDialogAnswerer;
using testing::SettingsFile;

std::string DataFile(const char *name) {
    return std::string(TARVOTCPC_TEST_DATA) + "/" + name;
}

std::string Hex(const std::string &bytes) {
    return QByteArray::fromStdString(bytes).toHex().toStdString();
}

// The next line of the peer's output that starts with prefix, read from `from` on (which then
// moves past it); without the prefix.
std::string NextLine(PeerProcess &peer, const std::string &prefix, std::size_t &from) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string &out = peer.Output();
        for (std::size_t at = from; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            if (end == std::string::npos) break;
            if (out.compare(at, prefix.size(), prefix) == 0) {
                from = end + 1;
                return out.substr(at + prefix.size(), end - at - prefix.size());
            }
            at = end + 1;
        }
        peer.WaitFor("\x01never", 50ms); // reads more
    }
    return "(no line " + prefix + ")";
}

std::string LineAfter(PeerProcess &peer, const std::string &prefix) {
    std::size_t from = 0;
    return NextLine(peer, prefix, from);
}

class Peer {
  public:
    explicit Peer(std::vector<std::string> args) : process_(Argv(std::move(args))) {
        if (process_.WaitFor("listening ", 10s)) port_ = process_.PortAfter("listening ");
    }
    uint16_t Port() const { return port_; }
    PeerProcess &Process() { return process_; }

  private:
    static std::vector<std::string> Argv(std::vector<std::string> args) {
        args.insert(args.begin(), {"python3", DataFile("wire_peer.py")});
        return args;
    }
    PeerProcess process_;
    uint16_t port_ = 0;
};

void ConnectTo(MainWindow &window, uint16_t port) {
    window.ConnectTo(Destination{"127.0.0.1", port});
}

// Sends text from the window to a sink peer on a connection of its own; what the peer read.
std::string SendOnce(MainWindow &window, Peer &peer, int &served, const QString &text) {
    ConnectTo(window, peer.Port());
    ++served;
    std::size_t from = 0;
    NextLine(peer.Process(), "accepted " + std::to_string(served), from);
    // The connection drops what is sent before it is up on its side too.
    QTest::qWait(200);
    window.SendEdit()->setPlainText(text);
    window.Commands().Action(Command::Send)->trigger();
    window.Commands().Action(Command::Disconnect)->trigger();
    return NextLine(peer.Process(), "got " + std::to_string(served) + " ", from);
}

class ExactBytesTest : public QObject {
    Q_OBJECT

  private slots:
    void EveryEncodingAndLineEndingOnTheWire() {
        PeerProcess oracle({"python3", DataFile("send_oracle.py")});
        Peer peer({"sink"});
        QVERIFY(peer.Port() != 0);
        int served = 0;
        std::size_t answers = 0;
        struct Case {
            const char *stored;
            const char *codec;
            const char *text;
        };
        const Case cases[] = {
            {"utf-8", "utf-8", "GET /日本語 HTTP/1.0\nHost: é😀\n\nend"},
            {"shift_jis", "cp932", "ping 日本語テスト\nｶﾅ ＡＢ\n\nend"},
            {"euc-jp", "euc_jp", "ping 日本語テスト\nＡＢ ｶﾅ\n\nend"},
            {"iso-2022-jp", "iso2022_jp", "ping 日本語テスト\nＡＢ\n\nend"},
            {"latin-1", "latin-1", "café\nnaïve ü ÿ\n\nend"},
        };
        const LineEnding endings[] = {LineEnding::Crlf, LineEnding::Lf, LineEnding::Cr,
                                      LineEnding::None};
        for (const Case &c : cases) {
            SettingsFile settings({std::string("sendencoding=") + c.stored});
            MainWindow window(settings.Path());
            BoxAnswerer boxes;
            for (const LineEnding ending : endings) {
                window.Commands().LineEndingAction(ending)->trigger();
                const QString text = QString::fromUtf8(c.text);
                oracle.Send(std::string(c.codec) + " " + std::string(FormatLineEnding(ending)) +
                            " " + Hex(text.toStdString()) + "\n");
                const std::string expected = NextLine(oracle, "ok ", answers);
                const std::string got = SendOnce(window, peer, served, text);
                QCOMPARE(QString::fromStdString(got), QString::fromStdString(expected));
                QVERIFY2(!got.empty(), c.stored);
            }
        }
    }

    void RefusalsNameThePlaceAndSendNothingEscapesSendExactBytes() {
        Peer peer({"sink"});
        SettingsFile settings({"sendencoding=latin-1"});
        MainWindow window(settings.Path());
        int served = 0;
        {
            BoxAnswerer boxes;
            QCOMPARE(QString::fromStdString(
                         SendOnce(window, peer, served, QString::fromUtf8("ok\nnaïve 日本"))),
                     QString());
            QTRY_VERIFY(!boxes.Seen().empty());
            QCOMPARE(boxes.Seen()[0].icon, QMessageBox::Warning);
            QVERIFY2(boxes.Seen()[0].text.contains(QString::fromUtf8("2行7列目")),
                     qPrintable(boxes.Seen()[0].text));
            QCOMPARE(window.Controller().KeptTranscript().Size(), uint64_t{0});
        }
        // Escape mode from the 送信 menu: each escape is its byte as it stands, kept in the file.
        window.Commands().EscapesAction()->trigger();
        window.Commands().LineEndingAction(LineEnding::Lf)->trigger();
        BoxAnswerer boxes;
        const std::string got =
            SendOnce(window, peer, served, QString::fromUtf8("A\\x00\\xFF\\r\\n\\tB\\\\é\n"));
        QCOMPARE(QString::fromStdString(got), QStringLiteral("4100ff0d0a09425ce90a"));
        SettingsHashes stored{};
        LoadSettings(stored, settings.Path());
        const OptionValues values = ReadOptions(stored);
        FreeSettings(stored);
        QVERIFY(values[Option::SendEscapes]);
        QCOMPARE(SendLineEndingOf(values), LineEnding::Lf);
        // A bad escape: its place, nothing sent.
        const std::string none = SendOnce(window, peer, served, QStringLiteral("ab\\q"));
        QCOMPARE(QString::fromStdString(none), QString());
        QTRY_VERIFY(!boxes.Seen().empty());
    }

    void ABinaryFileLoadsOnlyAsEscapesAndGoesOutExactly() {
        TempDir dir;
        std::string bytes;
        for (int i = 0; i < 256; ++i)
            bytes += static_cast<char>(i);
        bytes += "\r\n\\ tail";
        tarvotcpc::testing::WriteFile(dir.Path("all.bin"), bytes);
        SettingsFile settings;
        MainWindow window(settings.Path());
        {
            BoxAnswerer no({QMessageBox::No});
            QSignalSpy finished(window.findChild<FileLoader *>(), &FileLoader::finished);
            window.findChild<FileLoader *>()->Load(QString::fromStdString(dir.Path("all.bin")));
            QVERIFY(finished.wait(20000));
            QCOMPARE(no.Seen().size(), std::size_t{1});
            QVERIFY(window.SendEdit()->toPlainText().isEmpty());
            QVERIFY(!window.Commands().EscapesAction()->isChecked());
        }
        BoxAnswerer yes({QMessageBox::Yes});
        QSignalSpy finished(window.findChild<FileLoader *>(), &FileLoader::finished);
        window.findChild<FileLoader *>()->Load(QString::fromStdString(dir.Path("all.bin")));
        QVERIFY(finished.wait(20000));
        QVERIFY(window.Commands().EscapesAction()->isChecked());
        Peer peer({"sink"});
        int served = 0;
        const QString page = window.SendEdit()->toPlainText();
        QCOMPARE(QString::fromStdString(SendOnce(window, peer, served, page)),
                 QString::fromStdString(Hex(bytes)));
    }

    void RawSaveIsByteIdenticalAndAFailedSaveLeavesNothing() {
        const int size = 3 * 1024 * 1024 + 17;
        Peer peer({"blast", std::to_string(size)});
        SettingsFile settings;
        MainWindow window(settings.Path());
        BoxAnswerer boxes;
        ConnectTo(window, peer.Port());
        const std::string sha = LineAfter(peer.Process(), "sha ");
        QTRY_COMPARE_WITH_TIMEOUT(window.Controller().KeptTranscript().Size(), uint64_t(size),
                                  30000);
        TempDir dir;
        const QString target = QString::fromStdString(dir.Path("received.bin"));
        {
            FileDialogAnswerer answer(target);
            QSignalSpy done(window.Saver(), &SaveRunner::finished);
            window.Commands().Action(Command::SaveReceived)->trigger();
            QVERIFY(done.wait(30000));
            QCOMPARE(done.first().first().toBool(), true);
        }
        QFile saved(target);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.size(), qint64(size));
        QCOMPARE(QCryptographicHash::hash(saved.readAll(), QCryptographicHash::Sha256).toHex(),
                 QByteArray::fromStdString(sha));

        // A path under a regular file cannot be made (ENOTDIR): the message, and no file at all.
        tarvotcpc::testing::WriteFile(dir.Path("plain"), "x");
        const std::size_t boxesBefore = boxes.Seen().size();
        {
            FileDialogAnswerer answer(QString::fromStdString(dir.Path("plain/received.bin")));
            QSignalSpy done(window.Saver(), &SaveRunner::finished);
            window.Commands().Action(Command::SaveReceived)->trigger();
            QVERIFY(done.wait(30000));
            QCOMPARE(done.first().first().toBool(), false);
        }
        QTRY_COMPARE(boxes.Seen().size(), boxesBefore + 1);
        QCOMPARE(boxes.Seen().back().icon, QMessageBox::Warning);
        QVERIFY2(boxes.Seen().back().text.contains(QString::fromStdString(dir.Path("plain"))),
                 qPrintable(boxes.Seen().back().text));
        QCOMPARE(QDir(QString::fromStdString(dir.Path()))
                     .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList({"plain", "received.bin"}));
    }

    void APeersLinesReachTheLog() {
        TempDir logs;
        Peer peer({"lines", "8"});
        SettingsFile settings({"logfolder=" + logs.Path()});
        MainWindow window(settings.Path());
        BoxAnswerer boxes;
        ConnectTo(window, peer.Port());
        QVERIFY(peer.Process().WaitFor("sent", 20s));
        QTRY_COMPARE_WITH_TIMEOUT(window.Controller().KeptTranscript().Size(), uint64_t(8 * 8),
                                  10000);
        const QStringList files = QDir(QString::fromStdString(logs.Path())).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        QVERIFY2(files.first().endsWith(QStringLiteral("_127.0.0.1_") +
                                        QString::number(peer.Port()) + QStringLiteral(".log")),
                 qPrintable(files.first()));
        const QString path = QString::fromStdString(logs.Path()) + "/" + files.first();
        const auto logText = [&path] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        // Written while the connection is still open, within the log's write interval.
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(QString::fromUtf8("line 8␍␊")), 5000);
        for (int i = 1; i <= 8; ++i)
            QVERIFY(logText().contains(QString::fromUtf8("line %1␍␊").arg(i)));

        // The same exchange saved as text from the ファイル menu: the log's form, whole.
        const QString saved = QString::fromStdString(logs.Path()) + QStringLiteral("/saved.txt");
        {
            FileDialogAnswerer answer(saved);
            QSignalSpy done(window.Saver(), &SaveRunner::finished);
            window.Commands().Action(Command::SaveTranscript)->trigger();
            QVERIFY(done.wait(30000));
            QVERIFY(done.first().first().toBool());
        }
        QFile text(saved);
        QVERIFY(text.open(QIODevice::ReadOnly));
        const QString body = QString::fromUtf8(text.readAll());
        QVERIFY2(body.startsWith(QStringLiteral("[")) &&
                     body.contains(QString::fromUtf8("] 受信 #")),
                 qPrintable(body));
        QString lines;
        for (const QString &line : body.split(QLatin1Char('\n')))
            if (!line.startsWith(QLatin1Char('[')) && !line.isEmpty()) lines += line;
        QString expected;
        for (int i = 1; i <= 8; ++i)
            expected += QString::fromUtf8("line %1␍␊").arg(i);
        QCOMPARE(lines, expected);
        QVERIFY(boxes.Seen().empty());
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::ExactBytesTest)
#include "exact_bytes_test.moc"
