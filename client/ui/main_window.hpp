// The main window: menu bar, toolbar, the send and receive pages and the status bar. The
// MainController decides what every command and every event of the connection does; the window
// shows its results and forwards the user's commands to it.
#pragma once

#include <QMainWindow>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "controller.hpp"
#include "main_commands.hpp"
#include "settings.hpp"

class QLabel;
class QPlainTextEdit;
class QTabWidget;
class QTimer;

namespace tarvotcpc::ui {

class FileLoader;
class ReceiveView;

class MainWindow : public QMainWindow, private MainView {
    Q_OBJECT

  public:
    // Loads the settings from settingsPath; they live until the window closes.
    explicit MainWindow(std::string settingsPath, QWidget *parent = nullptr);
    ~MainWindow() override;

    MainCommands &Commands() const { return *commands_; }
    MainController &Controller() const { return *controller_; }
    QTabWidget *Tabs() const { return tabs_; }
    QPlainTextEdit *SendEdit() const { return sendEdit_; }
    ReceiveView *Receive() const { return receive_; }
    bool SettingsLoaded() const { return settingsLive_; }

    // What the connect dialog's OK leads to.
    void ConnectTo(const SessionParams &params);

    // While this much text waits to be shown, the connection's events are left in its queue.
    static constexpr std::size_t kBacklogHigh = 2 * 1024 * 1024;

  signals:
    // The end of a connection was shown (its box closed, status and look restored).
    void ConnectionEnded();

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    // MainView
    std::string SendPageText() override;
    void ClearSendPage() override;
    void ClearReceivePage() override;
    void AppendReceivedText(const std::string &text) override;
    void ShowReceivePage() override;
    void SetConnectedLook(bool connected) override;
    void SetStatusText(const std::string &text) override;
    void ShowMessage(const std::string &text, MessageStyle style) override;

    void Run(Command command);
    void OpenConnectDialog();
    void InsertTemplate();
    void AppendToSendPage(const QString &text);
    void Pump();
    void WaitForDisplay();

    std::string settingsPath_;
    SettingsHashes settings_{};
    bool settingsLive_ = false;
    bool closing_ = false;

    MainCommands *commands_;
    QTabWidget *tabs_;
    QLabel *statusLabel_;
    QPlainTextEdit *sendEdit_;
    ReceiveView *receive_;
    FileLoader *fileLoader_;
    QTimer *pump_;
    bool processing_ = false;
    // Set by a connection's thread when events wait; the pump takes them on the window's thread.
    std::atomic<bool> woken_{false};
    std::unique_ptr<MainController> controller_; // last: it may call back into the window
};

} // namespace tarvotcpc::ui
