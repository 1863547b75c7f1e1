// The main window's commands as actions shared by the menu bar and the toolbar, with their
// texts, tooltips and images, and the connected and disconnected look.
#pragma once

#include <QObject>

#include <array>
#include <map>

#include "text/send_encoding.hpp"

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
    About = 109,          // the version box, beside the help commands
    SaveReceived = 110,   // the received bytes, exactly
    SaveTranscript = 111, // the transcript as text
    Listen = 112,
    StartTls = 113,
    Certificates = 114, // the peer's certificate chain
    SaveCapture = 115,  // the record as a capture file (pcapng)
    OpenCapture = 116,  // a capture file shown read-only in the receive page
    // Scripts (main_window_script.cpp): a Lua file run against the connection, stopped, and one
    // made from the record to edit and run again.
    RunScript = 130,
    StopScript = 131,
    ScriptFromRecord = 132,
    // The received lines of the record beside those of a capture or text save.
    Compare = 133,
    Variables = 134,  // the placeholders' user variables
    Preview = 135,    // the exact bytes a send would give, not sent
    RepeatSend = 136, // the repeat dialog, then the page sent again and again
    StopRepeat = 137,
};

class MainCommands : public QObject {
    Q_OBJECT

  public:
    // Builds the menu bar and the toolbar of window.
    explicit MainCommands(QMainWindow *window);

    QAction *Action(Command command) const { return actions_.at(command); }
    QToolBar *ToolBar() const { return toolBar_; }

    // Connected: Disconnect, Send and the repeat available, Connect and opening a capture not;
    // disconnected the reverse. The other commands are always available.
    void SetConnected(bool connected);
    // A repeat runs: it can be stopped, not started again.
    void SetRepeating(bool running);
    // STARTTLS only while connected in clear text; the chain only once a TLS handshake is done.
    void SetStartTlsAvailable(bool available);
    void SetCertificatesAvailable(bool available);
    // While a script runs it can be stopped, and no other starts.
    void SetScriptRunning(bool running);

    // The 送信 menu's line ending (radio items) and escape mode (a check item), as stored.
    QAction *LineEndingAction(LineEnding ending) const {
        return lineEndings_[static_cast<std::size_t>(ending)];
    }
    QAction *EscapesAction() const { return escapes_; }
    QAction *PlaceholdersAction() const { return placeholders_; }
    void ShowSendOptions(LineEnding ending, bool escapes, bool placeholders);

  signals:
    void triggered(tarvotcpc::ui::Command command);
    // The user chose in the 送信 menu.
    void lineEndingChosen(tarvotcpc::LineEnding ending);
    void escapesChosen(bool on);
    void placeholdersChosen(bool on);

  private:
    QAction *Make(Command command, const char *text, const char *toolTip, const QString &name);

    QMainWindow *window_;
    std::map<Command, QAction *> actions_;
    QToolBar *toolBar_ = nullptr;
    std::array<QAction *, 4> lineEndings_{};
    QAction *escapes_ = nullptr;
    QAction *placeholders_ = nullptr;
    bool connected_ = false;
    bool repeating_ = false;
};

} // namespace tarvotcpc::ui
