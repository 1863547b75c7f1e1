// Capture files from the ファイル menu, as a user goes through them: an exchange saved as a
// capture holds its bytes between the real ends; a capture opened shows read-only in the receive
// page in place of the record until the next connection brings the record back; a file that is
// no capture is told, and nothing changes.
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QtTest>

#include "capture/capture_reader.hpp"
#include "common/message_seam.hpp"
#include "support/box_answerer.hpp"
#include "support/test_servers.hpp"
#include "support/ui_support.hpp"
#include "view/transcript_view.hpp"
#include "window/capture_runner.hpp"
#include "window/main_window.hpp"
#include "window/receive_page.hpp"

namespace tarvotcpc::ui {
namespace {

using tarvotcpc::testing::TempDir;
using testing::BoxAnswerer;
using testing::FileDialogAnswerer;
using testing::PageText;
using testing::SettingsFile;

bool Finish(MainWindow &window, Command command, const QString &path) {
    FileDialogAnswerer answer(path);
    QSignalSpy done(window.Captures(), &CaptureRunner::finished);
    window.Commands().Action(command)->trigger();
    return done.wait(30000) && done.first().first().toBool();
}

class CaptureWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void SavedAndOpenedFromTheFileMenu() {
        TempDir dir;
        SettingsFile settings;
        MainWindow window(settings.Path());
        window.show();
        BoxAnswerer boxes;

        // The menu's new entries, each with an accelerator no other entry of the menu has.
        QMenu *file = window.menuBar()->findChild<QMenu *>(QStringLiteral("fileMenu"));
        QVERIFY(file != nullptr);
        for (const Command command : {Command::SaveCapture, Command::OpenCapture}) {
            const QString text = window.Commands().Action(command)->text();
            const QChar key = text[text.indexOf(QLatin1Char('&')) + 1];
            int holders = 0;
            for (QAction *action : file->actions())
                holders += action->text().contains(QLatin1Char('&') + key) ? 1 : 0;
            QVERIFY2(holders == 1, qPrintable(text));
        }
        QVERIFY(file->actions().contains(window.Commands().Action(Command::SaveCapture)));
        QCOMPARE(window.Commands().Action(Command::OpenCapture)->text(),
                 QString::fromUtf8("キャプチャを開く(&I)..."));

        tarvotcpc::testing::TestServer server(tarvotcpc::testing::Echo());
        window.ConnectTo(Destination{"127.0.0.1", server.Port()});
        QVERIFY(!window.Commands().Action(Command::OpenCapture)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!window.PeerLabel()->text().isEmpty(), 20000);
        window.SendEdit()->setPlainText(QString::fromUtf8("こんにちは\n"));
        window.Commands().Action(Command::Send)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(window.Controller().KeptTranscript().Size(), uint64_t(34), 20000);

        // Saved while connected: the stream so far, between the socket's own ends.
        const std::string saved = dir.Path("exchange.pcapng");
        QVERIFY(Finish(window, Command::SaveCapture, QString::fromStdString(saved)));
        Transcript back;
        const CaptureReadOutcome read = ReadCapture(saved, back);
        QVERIFY2(read.ok, read.error.c_str());
        QCOMPARE(testing::BytesOf(back, Direction::Sent), std::string("こんにちは\r\n"));
        QCOMPARE(testing::BytesOf(back, Direction::Received), std::string("こんにちは\r\n"));
        QCOMPARE(read.summary.peer, "127.0.0.1:" + std::to_string(server.Port()));
        QVERIFY(!read.summary.ended);

        // A capture made elsewhere, opened while disconnected: the page shows it, read-only.
        window.Commands().Action(Command::Disconnect)->trigger();
        QVERIFY(window.Commands().Action(Command::OpenCapture)->isEnabled());
        CaptureEvents other;
        CaptureConnection ends;
        ends.local = *ParseCaptureAddress("[2001:db8::1]:50000");
        ends.peer = *ParseCaptureAddress("[2001:db8::2]:25");
        other.SetConnection(1, ends);
        other.Add(CaptureItemKind::Received, 1700000000000000, "220 captured\r\n");
        other.Add(CaptureItemKind::Sent, 1700000000001000, "QUIT\r\n");
        const std::string elsewhere = dir.Path("smtp.pcapng");
        {
            CaptureJob job(other, elsewhere);
            while (job.Step()) {
            }
            QVERIFY(job.Succeeded());
        }
        window.Tabs()->setCurrentIndex(0);
        QVERIFY(Finish(window, Command::OpenCapture, QString::fromStdString(elsewhere)));
        QCOMPARE(window.Tabs()->currentIndex(), 1);
        QTRY_VERIFY(PageText(window.Receive()).contains(QStringLiteral("220 captured")));
        QVERIFY(!PageText(window.Receive()).contains(QString::fromUtf8("こんにちは")));
        QCOMPARE(window.PeerLabel()->text(),
                 QString::fromUtf8("[2001:db8::1]:50000 ⇄ [2001:db8::2]:25"));
        QVERIFY(window.statusBar()->accessibleName().contains(QStringLiteral("smtp.pcapng")));

        // Saving while it shows writes the capture shown, not the record behind it.
        const std::string again = dir.Path("again.pcapng");
        QVERIFY(Finish(window, Command::SaveCapture, QString::fromStdString(again)));
        Transcript reread;
        QVERIFY(ReadCapture(again, reread).ok);
        QCOMPARE(testing::BytesOf(reread, Direction::Received), std::string("220 captured\r\n"));

        // A file that is no capture: told, and the page keeps what it showed.
        const std::size_t boxesBefore = boxes.Seen().size();
        tarvotcpc::testing::WriteFile(dir.Path("notes.txt"), "not a capture\n");
        QVERIFY(
            !Finish(window, Command::OpenCapture, QString::fromStdString(dir.Path("notes.txt"))));
        QTRY_COMPARE(boxes.Seen().size(), boxesBefore + 1);
        QVERIFY(boxes.Seen().back().text.contains(QString::fromUtf8("開けません")));
        QVERIFY(PageText(window.Receive()).contains(QStringLiteral("220 captured")));

        // The next connection brings the record back.
        tarvotcpc::testing::TestServer next(tarvotcpc::testing::Silent());
        window.ConnectTo(Destination{"127.0.0.1", next.Port()});
        QTRY_VERIFY(PageText(window.Receive()).contains(QString::fromUtf8("こんにちは")));
        QVERIFY(!PageText(window.Receive()).contains(QStringLiteral("220 captured")));
        window.close();
    }

    // The notice about what a capture left out comes once the progress window is gone for good:
    // it does not come back behind the notice when its own moment to show passes.
    void NoProgressWindowBehindTheNotice() {
        TempDir dir;
        SettingsFile settings;
        MainWindow window(settings.Path());
        window.show();
        CaptureEvents two;
        for (uint32_t connection : {1u, 2u}) {
            CaptureConnection ends;
            ends.local = *ParseCaptureAddress("10.0.0.1:" + std::to_string(50000 + connection));
            ends.peer = *ParseCaptureAddress("10.0.0.2:80");
            two.SetConnection(connection, ends);
            two.Add(CaptureItemKind::Sent, 1700000000000000, "GET / HTTP/1.0\r\n\r\n", connection);
        }
        const std::string path = dir.Path("two.pcapng");
        {
            CaptureJob job(two, path);
            while (job.Step()) {
            }
            QVERIFY(job.Succeeded());
        }
        QStringList notices;
        bool progressShown = false;
        SetMessageBoxObserver([&](QMessageBox *box) {
            notices << box->text();
            QTimer::singleShot(1500, box, [&, box] {
                for (QWidget *w : window.findChildren<QProgressDialog *>())
                    progressShown = progressShown || w->isVisible();
                box->button(QMessageBox::Ok)->click();
            });
        });
        QVERIFY(Finish(window, Command::OpenCapture, QString::fromStdString(path)));
        SetMessageBoxObserver({});
        QCOMPARE(notices.size(), 1);
        QVERIFY(notices.first().contains(QString::fromUtf8("ほかに 1 本")));
        QVERIFY(!progressShown);
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::CaptureWindowTest)
#include "capture_window_test.moc"
