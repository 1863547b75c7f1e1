// Takes the README's picture of the main window: connects to the peer on 127.0.0.1 at the port
// given, sends a request, waits for the answer and saves the window as a PNG.
//
//   tarvotcpc_screenshot PORT OUTPUT.png
#include <QAction>
#include <QApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include "main_window.hpp"
#include "message_seam.hpp"
#include "receive_view.hpp"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
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
    window.SendEdit()->setPlainText(QStringLiteral("HELLO tarvotcpc\nGET /status\n"));
    window.Commands().Action(tarvotcpc::ui::Command::Send)->trigger();

    int result = 1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (window.Receive()->toPlainText().count(QLatin1Char('\n')) < 6) return;
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
