// Takes the README's pictures of the main window: connects to the peer on 127.0.0.1 at the port
// given, sends requests whose answers include a line wider than the page and line breaks of every
// kind, waits for the last answer and saves the window as a PNG, its receive page following the
// end. Given two more paths, it then saves the page with line-ending marks, times and the sent
// lines shown, and the page in hex.
//
//   tarvotcpc_screenshot PORT OUTPUT.png [MARKS.png HEX.png]
#include <QAction>
#include <QTabWidget>
#include <QApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>

#include "window/application.hpp"
#include "window/main_window.hpp"
#include "common/message_seam.hpp"
#include "view/transcript_view.hpp"
#include "window/view_controls.hpp"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    tarvotcpc::ui::SetUpApplication();
    if (argc < 3) {
        std::fprintf(stderr, "usage: tarvotcpc_screenshot PORT OUTPUT.png\n");
        return 2;
    }
    const int port = QString::fromLocal8Bit(argv[1]).toInt();
    const QString output = QString::fromLocal8Bit(argv[2]);

    QTemporaryDir settingsDir;
    tarvotcpc::ui::MainWindow window(settingsDir.filePath("tarvotcpc.ini").toStdString());
    // The pictures show every character at once, not as the screen fills in over a few frames.
    window.Receive()->SetNewGlyphTime(std::chrono::seconds(10));
    window.show();
    window.ConnectTo({"127.0.0.1", port});
    QString requests = QStringLiteral("HELLO tarvotcpc\nGET /status\n");
    // One answer far wider than the page: the view still ends at the newest line.
    requests += QStringLiteral("NOTE ") +
                QString::fromUtf8("受信ページは末尾を表示し続けます / ").repeated(6) +
                QStringLiteral("\n");
    for (int i = 1; i <= 2; ++i)
        requests += QStringLiteral("PING %1\n").arg(i);
    requests += QStringLiteral("MIXED\n");
    requests += QStringLiteral("GET /status\n");
    window.SendEdit()->setPlainText(requests);
    window.Commands().Action(tarvotcpc::ui::Command::Send)->trigger();

    int result = 1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (window.Receive()->Characters(0, 1 << 20).count(QStringLiteral("uptime")) < 2 ||
            window.Controller().Backlog() > 0)
            return;
        poll.stop();
        // A moment for the last paint, then the pictures.
        QTimer::singleShot(500, [&] {
            result = window.grab().save(output) ? 0 : 1;
            if (argc < 5) {
                window.close();
                return;
            }
            tarvotcpc::ui::TranscriptView *page = window.Receive();
            window.Tabs()->setCurrentWidget(page);
            window.View().MarksAction()->trigger();
            page->SetShowTimes(true);
            page->SetShowSent(true);
            QTimer::singleShot(300, [&, page] {
                if (!window.grab().save(QString::fromLocal8Bit(argv[3]))) result = 1;
                page->SetShowTimes(false);
                page->SetShowSent(false);
                window.View().HexAction()->trigger();
                QTimer::singleShot(300, [&] {
                    if (!window.grab().save(QString::fromLocal8Bit(argv[4]))) result = 1;
                    window.close();
                });
            });
        });
    });
    poll.start(50);
    QTimer::singleShot(15000, &app, &QApplication::quit); // a peer that never answers
    QApplication::exec();
    return result;
}
