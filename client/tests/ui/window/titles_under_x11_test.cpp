// Title bars as an X11 window manager reads them (_NET_WM_NAME), under a virtual display: the
// platform there adds the application display name to every title, which the offscreen platform
// never does. Run by ctest through xvfb-run.
#include <QApplication>
#include <QPushButton>
#include <QWindow>
#include <QtTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "window/application.hpp"
#include "dialogs/connect_dialog.hpp"
#include "window/main_window.hpp"
#include "common/message_seam.hpp"
#include "dialogs/options_dialog.hpp"
#include "support/ui_support.hpp"

namespace tarvotcpc::ui {
namespace {

xcb_atom_t Atom(xcb_connection_t *connection, const char *name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The title the window manager shows for widget's window.
QString TitleBar(QWidget *widget) {
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11->connection();
    const xcb_get_property_cookie_t cookie = xcb_get_property(
        connection, 0, static_cast<xcb_window_t>(widget->windowHandle()->winId()),
        Atom(connection, "_NET_WM_NAME"), Atom(connection, "UTF8_STRING"), 0, 1024);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), &std::free);
    if (!reply) return QStringLiteral("(no reply)");
    return QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(reply.get())),
                             xcb_get_property_value_length(reply.get()));
}

class TitlesUnderX11Test : public QObject {
    Q_OBJECT

  private slots:
    void titlesAreExactAndWarningsBlank() {
        if (QGuiApplication::platformName() != QStringLiteral("xcb"))
            QSKIP("needs an X display (ctest runs it through xvfb-run)");
        SetUpApplication();
        testing::SettingsFile settings;
        MainWindow window(settings.Path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_COMPARE(TitleBar(&window), QStringLiteral("TARVO TCP/IP CLIENT"));

        QStringList seen;
        SetMessageBoxObserver([&seen](QMessageBox *box) {
            QTimer::singleShot(100, box, [box, &seen] {
                seen << TitleBar(box);
                box->accept();
            });
        });
        ShowMessageBox(&window, QStringLiteral("warning"), MessageStyle::Warning);
        ShowMessageBox(&window, QStringLiteral("notice"), MessageStyle::Notice);
        SetMessageBoxObserver({});
        QCOMPARE(seen, QStringList({QStringLiteral(" "), QStringLiteral("TARVO TCP/IP CLIENT")}));

        QString connectTitle;
        testing::WhenModal<ConnectDialog>([&connectTitle](ConnectDialog *dialog) {
            connectTitle = TitleBar(dialog);
            dialog->reject();
        });
        window.Commands().Action(Command::Connect)->trigger();
        QCOMPARE(connectTitle, QString::fromUtf8("接続"));

        QString optionsTitle;
        testing::WhenModal<OptionsDialog>([&optionsTitle](OptionsDialog *dialog) {
            optionsTitle = TitleBar(dialog);
            dialog->reject();
        });
        window.Commands().Action(Command::Options)->trigger();
        QCOMPARE(optionsTitle, QString::fromUtf8("オプション"));
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::TitlesUnderX11Test)
#include "titles_under_x11_test.moc"
