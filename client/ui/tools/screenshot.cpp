// Takes the README's picture of the main window: connects to the peer on 127.0.0.1 at the port
// given, sends requests whose answers include a line wider than the page, waits for the last answer
// and saves the window as a PNG, its receive page following the end.
//
//   tarvotcpc_screenshot PORT OUTPUT.png
#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include "application.hpp"
#include "main_window.hpp"
#include "message_seam.hpp"
#include "transcript_view.hpp"

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
    window.show();
    window.ConnectTo({"127.0.0.1", port});
    QString requests = QStringLiteral("HELLO tarvotcpc\nGET /status\n");
    // One answer far wider than the page: the view still ends at the newest line.
    requests += QStringLiteral("NOTE ") +
                QString::fromUtf8("受信ページは末尾を表示し続けます / ").repeated(6) +
                QStringLiteral("\n");
    for (int i = 1; i <= 4; ++i)
        requests += QStringLiteral("PING %1\n").arg(i);
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
        // A moment for the last paint, then the picture.
        QTimer::singleShot(500, [&] {
            result = window.grab().save(output) ? 0 : 1;
            window.close();
        });
    });
    poll.start(50);
    QTimer::singleShot(15000, &app, &QApplication::quit); // a peer that never answers
    QApplication::exec();
    return result;
}
