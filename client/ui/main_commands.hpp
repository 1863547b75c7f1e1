// The main window's commands as actions shared by the menu bar and the toolbar, with their
// texts, tooltips and images, and the connected and disconnected look.
#pragma once

#include <QObject>

#include <map>

class QAction;
class QMainWindow;
class QToolBar;

namespace tarvotcpc::ui {

// The commands keep the numbers by which the settings and the help texts know them.
enum class Command {
    Connect = 100,
    Disconnect = 101,
    InsertTemplate = 102,
    LoadFile = 103,
    Exit = 104,
    Send = 105,
    Options = 106,
    Readme = 107,
    HomePage = 108,
    About = 109, // the version box, beside the help commands
    Listen = 110,
    StartTls = 111,
    Certificates = 112, // the peer's certificate chain
};

class MainCommands : public QObject {
    Q_OBJECT

  public:
    // Builds the menu bar and the toolbar of window.
    explicit MainCommands(QMainWindow *window);

    QAction *Action(Command command) const { return actions_.at(command); }
    QToolBar *ToolBar() const { return toolBar_; }

    // Connected: Disconnect and Send available, Connect not; disconnected the reverse. The other
    // commands are always available.
    void SetConnected(bool connected);
    // STARTTLS only while connected in clear text; the chain only once a TLS handshake is done.
    void SetStartTlsAvailable(bool available);
    void SetCertificatesAvailable(bool available);

  signals:
    void Triggered(tarvotcpc::ui::Command command);

  private:
    QAction *Make(Command command, const char *text, const char *toolTip, const QString &name);

    QMainWindow *window_;
    std::map<Command, QAction *> actions_;
    QToolBar *toolBar_ = nullptr;
};

} // namespace tarvotcpc::ui
