// The main window's decisions: what Connect, Send, Disconnect, the end of a connection and closing
// do, and in which order. The window implements MainView to show the results and forwards its
// commands and the connection's wake-ups here; it decides nothing itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "connection.hpp"
#include "destination.hpp"
#include "settings.hpp"
#include "text.hpp"

namespace tarvotcpc {

inline constexpr char kProductCaption[] = "TARVO TCP/IP CLIENT";

// Received bytes that may wait in a connection's queue before it stops reading from the peer.
inline constexpr std::size_t kReceiveQueueLimit = 2 * 1024 * 1024;

enum class MessageStyle {
    Warning, // warning icon, no caption: a connection that could not be made
    Notice,  // caption kProductCaption, no icon: the end of a connection
};

class MainView {
  public:
    virtual ~MainView() = default;

    // The send page's whole text.
    virtual std::string SendPageText() = 0;
    virtual void ClearSendPage() = 0;
    virtual void ClearReceivePage() = 0;
    // Appends to the receive page: text with LF line breaks, never ending inside a character.
    virtual void AppendReceivedText(const std::string &text) = 0;
    // Brings the receive page to the front.
    virtual void ShowReceivePage() = 0;
    // Connected: Disconnect and Send available, Connect not; disconnected: the reverse.
    virtual void SetConnectedLook(bool connected) = 0;
    virtual void SetStatusText(const std::string &text) = 0;
    virtual void ShowMessage(const std::string &text, MessageStyle style) = 0;
};

class MainController {
  public:
    using ConnectionFactory = std::function<std::unique_ptr<Connection>(const SessionParams &params,
                                                                        ConnectionOptions options)>;

    // wake is handed to every connection: it is called on a connection's thread when events wait,
    // and must get ProcessEvents called soon on the window's thread.
    MainController(MainView &view, SettingsHashes &settings, std::function<void()> wake,
                   ConnectionFactory factory = {});
    ~MainController();

    MainController(const MainController &) = delete;
    MainController &operator=(const MainController &) = delete;

    // The window exists: the disconnected look.
    void Start();

    // The connect dialog was accepted: the connected look, the connection started, the status
    // "host:portに接続中", then with "consend" the send page sent, then with "conreclear" the
    // receive page emptied. A connection still ending from an earlier Disconnect is dropped
    // without any further word from it, so the two are never mixed up.
    void Connect(const SessionParams &params);

    // Sends the send page's text, line breaks as CRLF; with "consenclear" the page is emptied
    // once its text was taken. Nothing happens without a connection.
    void Send();

    // Asks the connection to end and shows the disconnected look at once; the end itself is
    // reported when the connection has ended.
    void Disconnect();

    // Takes the current connection's events (a window that cannot show more yet simply waits:
    // the connection stops reading once kReceiveQueueLimit bytes are queued): received bytes go to
    // the receive page, which comes to the front only for the first data after connecting and after
    // each send, so that a peer talking on its own never takes the send page from a user typing
    // there; the end event shows its text in a message box and
    // the status bar and restores the disconnected look.
    void ProcessEvents();

    // The window closes: the connection is quit without any message; returns at once.
    void Close();

    // Backlog control for a window that shows text slower than it arrives.
    void PauseReading();
    void ResumeReading();
    std::size_t QueuedBytes() const;

    bool ConnectedLook() const { return connectedLook_; }
    const std::string &StatusText() const { return status_; }
    bool HasConnection() const { return connection_ != nullptr; }

    // "host:portに接続中"
    static std::string ConnectingText(const SessionParams &params);

  private:
    void SetLook(bool connected);
    void SetStatus(const std::string &text);
    void DropConnection();

    MainView &view_;
    SettingsHashes &settings_;
    std::function<void()> wake_;
    ConnectionFactory factory_;
    std::unique_ptr<Connection> connection_;
    ReceivedText receivedText_;
    uint64_t generation_ = 0; // counts connections, so a late answer knows it is late
    bool connectedLook_ = false;
    bool showOnNextData_ = false; // set by Connect and Send, spent by the first data after them
    std::string status_;
};

} // namespace tarvotcpc
