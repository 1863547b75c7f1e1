// The main window: menu bar, toolbar, the send and receive pages and the status bar. The
// MainController decides what every command and every event of the connection does; the window
// shows its results and forwards the user's commands to it.
#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>
#include <string>

#include "session/controller.hpp"
#include "window/main_commands.hpp"
#include "settings/options.hpp"
#include "settings/settings.hpp"

class QAction;
class QLabel;
class QPlainTextEdit;
class QTabWidget;
class QTimer;

namespace tarvotcpc::ui {

class CaptureRunner;
class FileLoader;
class SaveRunner;
class TranscriptView;
class ViewControls;

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
    // The receive page: the controller's transcript as text or hex.
    TranscriptView *Receive() const { return receive_; }
    ViewControls &View() const { return *viewControls_; }
    SaveRunner *Saver() const { return saver_; }
    CaptureRunner *Captures() const { return captures_; }
    bool SettingsLoaded() const { return settingsLive_; }

    // What the connect dialog's OK leads to.
    void ConnectTo(const Destination &params);

    // A destination given on the command line: connects as if it had been typed in the connect
    // dialog, keeping the history by the same rules.
    void ConnectAtStart(const Destination &params);
    // The connect dialog, with host (when not empty) in place of the newest history entry, its
    // TLS box checked with tls, and proxy (when not empty) in its proxy field.
    void OpenConnectDialog(const QString &host = {}, bool tls = false, const QString &proxy = {});
    // The same, with the TLS details given on the command line, and UDP chosen when udp.
    void OpenConnectDialogWith(const QString &host, bool tls, const QString &proxy,
                               const TlsDetails &details, bool udp = false);
    // The listen dialog, then listening as it says.
    void OpenListenDialog();
    // Listening as the command line asks.
    void ListenAtStart(const ListenParams &params);
    QLabel *PeerLabel() const { return peerLabel_; }
    // The repeat's field of the status bar: its count, then how it ended.
    QLabel *RepeatLabel() const { return repeatLabel_; }

  signals:
    // The end of a connection was shown (its box closed, status and look restored).
    void connectionEnded();

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    // MainView
    std::string SendPageText() override;
    void ClearSendPage() override;
    void ClearReceivePage() override;
    void TranscriptAppended() override;
    void ShowReceivePage() override;
    void SetConnectedLook(bool connected) override;
    void SetStatusText(const std::string &text) override;
    void ShowMessage(const std::string &text, MessageStyle style) override;
    void ShowWarning(const std::string &text) override;
    void SetPeerText(const std::string &text) override;
    void SetStartTlsAvailable(bool available) override;
    void AskCertificate(const CertificateQuestion &question) override;
    void AskProxyPassword(const ProxyPasswordQuestion &question) override;
    void SetAutoRepliesOn(bool on) override;
    void SetReplyTimeText(const std::string &text) override;
    std::optional<std::vector<std::string>>
    AskPlaceholderValues(const std::vector<std::string> &names) override;
    bool ConfirmSend(const std::string &question) override;
    void RepeatChanged(const std::string &text, bool running) override;
    void PageEncodingChanged() override;
    void PageProtocolChanged() override;
    void AskPassphrase(const PassphraseQuestion &question) override;
    void ScriptRunning(bool running) override;

    void Run(Command command);
    // Capture files (main_window_capture.cpp): the page's record saved as one, or one opened in
    // place of the record while disconnected, until the next connection brings the record back.
    void SetUpCaptures();
    // Automatic replies and reply times (main_window_replies.cpp): the 送信 menu's switch, rules
    // and summary, and the status bar's latest reply time.
    void SetUpReplies();
    void SaveCapture();
    void ShowOpenedCapture();
    void ShowRecord();
    // Sends without retyping (main_window_sending.cpp): the repeat's field and timer, the 送信
    // menu's dialogs, and the repeat run by the timer at the times the controller asks for.
    void SetUpSending();
    void RunSending(Command command);
    void StartRepeat();
    void RunRepeat();
    void StorePlaceholders(bool on);
    // What the receive page shows, and so what the saves write: the record or the capture.
    const Transcript &ShownTranscript() const;
    // Scripts (main_window_script.cpp): a file picked and run, and the record made into one;
    // the record's received lines compared with those of an exchange kept in a file.
    void RunScriptFile();
    void MakeScriptFromRecord();
    void CompareWithFile();
    void InsertTemplate();
    void AppendToSendPage(const QString &text);
    // The 送信 menu shows the stored line ending and escape mode; a choice there is stored.
    void ShowSendOptions();
    void StoreLineEnding(LineEnding ending);
    void StoreEscapes(bool on);
    // Runs the controller's pump while it has work: at once on a connection's wake-up (so a
    // small answer shows without waiting for a tick), and on the timer while a flood lasts.
    void Pump();
    // The receive page's options as stored, shown on the page and in the menu and toolbar.
    void ApplyViewOptions();
    // The user picked a view option in the menu or toolbar: stored, then applied.
    void ChangeViewOptions(const std::function<void(OptionValues &)> &change);
    // The page reads the replies of the shown record's connections as the controller says (a
    // capture's as its one connection's ends say).
    void ApplyProtocols();

    std::string settingsPath_;
    SettingsHashes settings_{};
    bool settingsLive_ = false;
    bool closing_ = false;

    MainCommands *commands_;
    QTabWidget *tabs_;
    QLabel *statusLabel_;
    QLabel *peerLabel_;
    QLabel *repeatLabel_ = nullptr;
    QTimer *repeatTimer_ = nullptr;
    QPlainTextEdit *sendEdit_;
    TranscriptView *receive_;
    ViewControls *viewControls_;
    FileLoader *fileLoader_;
    SaveRunner *saver_;
    CaptureRunner *captures_ = nullptr;
    QAction *autoReplies_ = nullptr;
    QLabel *replyTimeLabel_ = nullptr;
    QTimer *pump_;
    std::unique_ptr<MainController> controller_; // last: it may call back into the window
};

} // namespace tarvotcpc::ui
