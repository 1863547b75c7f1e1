// tarvotcpc: the TCP/IP client's program entry.
#include <QApplication>
#include <QIcon>

#include "ini.hpp"
#include "main_window.hpp"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tarvotcpc"));
    QApplication::setApplicationDisplayName(QStringLiteral("TARVO TCP/IP CLIENT"));
    QApplication::setApplicationVersion(QStringLiteral(TARVOTCPC_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("tarvotcpc"));

    tarvotcpc::ui::MainWindow window(tarvotcpc::SettingsPath());
    window.show();
    return QApplication::exec();
}
