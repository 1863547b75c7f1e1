// tarvotcpc: the TCP/IP client's program entry.
#include <QApplication>

#include "application.hpp"
#include "ini.hpp"
#include "main_window.hpp"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    tarvotcpc::ui::SetUpApplication();

    tarvotcpc::ui::MainWindow window(tarvotcpc::SettingsPath());
    window.show();
    return QApplication::exec();
}
