// The main window's decisions: what Connect, Send, Disconnect, the end of a connection and closing
// do, and in which order. The window implements MainView to show the results and forwards its
// commands and the connection's wake-ups here; it decides nothing itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_writer.hpp"
#include "connection/connection.hpp"
#include "hosts/destination.hpp"
#include "net/listener.hpp"
#include "proxy/proxy_choice.hpp"
#include "session/message_style.hpp"
#include "session/page_encoding.hpp"
#include "session/page_protocol.hpp"
#include "settings/options.hpp"
#include "session/receive_flow.hpp"
#include "saves/session_log.hpp"
#include "settings/settings.hpp"
#include "transcript/text_decoder.hpp"
#include "transcript/transcript.hpp"
#include "session/tls_reach.hpp"

namespace tarvotcpc {

struct CertificateQuestion;
struct ProxyPasswordQuestion;
struct PassphraseQuestion;

class MainView {
  public:
    virtual ~MainView() = default;

    // The send page's whole text.
    virtual std::string SendPageText() = 0;
    virtual void ClearSendPage() = 0;
    virtual void ClearReceivePage() = 0;
    // Bytes were appended to the controller's transcript (KeptTranscript): received, or sent.
    virtual void TranscriptAppended() = 0;
    // Brings the receive page to the front.
    virtual void ShowReceivePage() = 0;
    // Connected: Disconnect and Send available, Connect not; disconnected: the reverse.
    virtual void SetConnectedLook(bool connected) = 0;
    virtual void SetStatusText(const std::string &text) = 0;
    // Tells the end of a connection. The controller is in its final state by then; a window may
    // show the box once its current event is done.
    virtual void ShowMessage(const std::string &text, MessageStyle style) = 0;
    // A warning that is not the end of a connection (a send refused, the log stopped).
    virtual void ShowWarning(const std::string &text) { (void)text; }

    // The second, permanent field of the status bar: the address reached, then the TLS protocol
    // and cipher; empty without a connection.
    virtual void SetPeerText(const std::string &) {}
    // Whether STARTTLS can be asked for now (connected in clear text).
    virtual void SetStartTlsAvailable(bool) {}
    // A certificate did not verify: the connection waits, nothing sent, until the view answers
    // through MainController::AnswerCertificate. A view may ask once its current event is done.
    virtual void AskCertificate(const CertificateQuestion &) {}
    // The receive page's encoding (MainController::ViewEncoding) changed, or what was detected
    // of the received bytes did: the page and its toolbar read it again.
    virtual void PageEncodingChanged() {}
    // The protocol the page reads replies as (MainController::ProtocolOf) changed: the page reads
    // the record's replies again.
    virtual void PageProtocolChanged() {}
    // The proxy names a user without a password, and none is kept: nothing is connected until
    // the view answers through MainController::AnswerProxyPassword.
    virtual void AskProxyPassword(const ProxyPasswordQuestion &) {}
    // The client certificate's key is encrypted and no passphrase opens it: nothing is connected
    // (or switched to TLS) until the view answers through MainController::AnswerPassphrase.
    virtual void AskPassphrase(const PassphraseQuestion &) {}
};

// What the proxy password dialog shows.
struct ProxyPasswordQuestion {
    std::string proxy; // the proxy's URL, without password
    std::string user;
    std::string destination; // "host:port"
};

// What the passphrase prompt shows.
struct PassphraseQuestion {
    std::string file;        // the file whose key the passphrase opens
    std::string destination; // "host:port"
    bool retry = false;      // the passphrase given last (or kept) did not open it
};

// What the certificate dialog shows: the destination and why its certificate failed.
struct CertificateQuestion {
    std::string host;
    int32_t port = 0;
    std::string peer; // the address reached
    VerifyOutcome outcome;
};

enum class CertificateChoice { Cancel, Once, Always };

// The listen dialog's answer.
struct ListenParams {
    int32_t port = 0;
    // This computer only, unless the user chose otherwise: whoever else reaches the port first
    // would take the session.
    BindChoice bind = BindChoice::Loopback;
    std::string address; // with BindChoice::Address: the address written, "192.168.1.10"
    bool tls = false;
    // With tls: a PEM certificate and key file pair, or both empty for a generated certificate.
    std::string certificateFile;
    std::string keyFile;
};

struct ListenOutcome {
    bool listening = false;
    std::string text; // failure: the reason; with a generated certificate: its fingerprint
};

// The status while the transcript cannot take what arrives (err: its errno).
std::string TranscriptStalledText(int err);
// The end of a connection, with how many bytes handed to it were never sent (none: as it is).
std::string UnsentText(const std::string &endText, uint64_t unsent);

class MainController {
  public:
    using ConnectionFactory = std::function<std::unique_ptr<Connection>(const Destination &params,
                                                                        ConnectionOptions options)>;

    // wake is handed to every connection: it is called on a connection's thread when events wait,
    // and must get ProcessEvents called soon on the window's thread.
    MainController(MainView &view, SettingsHashes &settings, std::function<void()> wake,
                   ConnectionFactory factory = {}, TranscriptOptions transcriptOptions = {});
    ~MainController();

    MainController(const MainController &) = delete;
    MainController &operator=(const MainController &) = delete;

    // The window exists: the disconnected look.
    void Start();

    // The connect dialog was accepted: the connected look, the connection started, the status
    // "host:portに接続中", then with "consend" the send page sent, then with "conreclear" the
    // receive page emptied. A connection still ending from an earlier Disconnect is dropped
    // without any further word from it, so the two are never mixed up. The proxy is the
    // destination's own, else the options', else the environment's (ChooseProxy); one that
    // cannot be used is a warning and nothing else happens, and a user without a password (none
    // kept) is asked for it first (AskProxyPassword), all of this before anything changes.
    void Connect(const Destination &params);

    // Sends the send page's text encoded as the options say (encoding, line ending, escapes);
    // with "consenclear" the page is emptied once its text was taken. The bytes are kept as sent
    // once the connection has written them; what it never wrote (a refused connect, a cancelled
    // certificate question, a Disconnect before the peer read, a failed write) is not kept, and
    // the end of the connection tells how many bytes that was. Text that cannot be encoded
    // is refused with a warning naming the place, and nothing is sent. Nothing happens without a
    // connection.
    void Send();

    // Asks the connection to end and shows the disconnected look at once; the end itself is
    // reported when the connection has ended.
    void Disconnect();

    // One turn of the window's pump, on a wake-up or a timer tick: takes the connection's events
    // as far as the receive flow has room, keeps the next step of their bytes in the transcript
    // (telling the view), and once every byte before the end event is kept, tells the end in a
    // message box and the status bar and restores the disconnected look. The receive page comes to
    // the front only for the first data after connecting and after each send, so that a peer
    // talking on its own never takes the send page from a user typing there.
    void ProcessEvents();
    // Whether ProcessEvents still has work: a connection, or bytes (received or sent) the
    // transcript has not taken yet.
    bool Busy() const { return connection_ != nullptr || !flow_.Idle(); }
    // Whether the next turn can go on at once: received bytes wait and the transcript is taking
    // them. A flood is then kept turn after turn (the event loop still turns between) rather
    // than one step per timer tick; a refusing disk is tried again at the timer's pace.
    bool MoreAtOnce() const;

    // Every byte received and sent, in the order of the wire, with the time it was read or
    // written and its connection, and notes where the stream changed (the switch to TLS). The
    // received bytes are kept as they come off the connection, before any decoding; sent bytes
    // as the socket took them. A full disk holds the connection's reading (through its queue)
    // until the transcript can take the bytes again; nothing is dropped. Emptied with the receive
    // page.
    const Transcript &KeptTranscript() const { return transcript_; }

    // STARTTLS on the live clear-text connection, after the sends queued before it; the same
    // verification and question as a connection made with TLS.
    void StartTls();
    // The user's answer to AskProxyPassword: the password, or none to give the connection up;
    // keep also keeps it in the settings file for the next connections through that proxy (and
    // a password the proxy then refuses is dropped from it again).
    void AnswerProxyPassword(std::optional<std::string> password, bool keep);
    // Where the proxies of the environment are read from (tests); the process's by default.
    void SetEnvironment(Environment environment) { environment_ = std::move(environment); }
    // The user's answer to AskCertificate. Always also keeps the certificate's fingerprint for
    // this host and port in the settings file; when it cannot, a warning says why and the
    // connection goes on this once.
    void AnswerCertificate(CertificateChoice choice);
    // The user's answer to AskPassphrase: the passphrase, or none to give the connection (or the
    // switch to TLS) up. keep also keeps it in the settings file, once it opened the key. One
    // that does not open the key is asked for again.
    void AnswerPassphrase(std::optional<std::string> passphrase, bool keep);
    // Listens for one peer, which then gets the same pages as a connection made by Connect; a
    // failure to listen is shown as a warning and returned. The status names the address bound,
    // and says so when that is every address. With the option to keep listening, the next peer
    // is waited for with the same parameters and the same certificate and key, so that a
    // fingerprint given out once holds for the whole time of listening.
    ListenOutcome Listen(const ListenParams &params);
    bool Listening() const { return listening_ && !peerReached_; }
    // What a capture file of the record writes for connection `connection` (a number of the
    // transcript's chunks): its two ends, which side opened it, whether and how it ended; nullopt
    // for a connection that never reached a peer.
    std::optional<CaptureConnection> CaptureConnectionOf(uint32_t connection) const;

    // The peer's certificates (leaf first) once a TLS handshake is done; empty otherwise.
    const std::vector<CertificateInfo> &PeerChain() const { return chain_; }

    // Where "always trust" keeps its pins (the settings file), and trust anchors in place of the
    // system's store (tests, private CAs).
    void SetSettingsPath(std::string path) { settingsPath_ = std::move(path); }
    void SetTrustAnchors(std::string caFile) { caFile_ = std::move(caFile); }

    // The window closes: the connection is quit without any message; returns at once.
    void Close();

    // Received bytes in the connection's queue, and bytes taken from it that wait for the
    // transcript.
    std::size_t QueuedBytes() const;
    std::size_t Backlog() const { return flow_.Backlog(); }

    bool ConnectedLook() const { return connectedLook_; }
    const std::string &StatusText() const { return status_; }
    bool HasConnection() const { return connection_ != nullptr; }

    // "host:portに接続中"
    static std::string ConnectingText(const Destination &params);

    // The receive page's encoding: the user's choice, or with 自動判別 (none) what the current
    // connection's received bytes were detected as. Taken from the options at Start and at each
    // connection (where "viewautodetect" starts it automatic); the window hands a choice made in
    // between to ChooseViewEncoding. A send page that follows the view's encoding goes out in
    // the one in force.
    const PageEncoding &ViewEncoding() const { return pageEncoding_; }
    void ChooseViewEncoding(std::optional<Encoding> chosen);

    // The options of the receive page were changed and stored (the options dialog): a changed
    // choice of the page's encoding or protocol is the user's new choice, in force at once.
    void ViewOptionsChanged();
    // The protocol the replies of a connection of the record are read as ("viewprotocol"); none:
    // not read. Taken from the options at Start, at each connection and by ViewOptionsChanged.
    const PageProtocol &ViewProtocol() const { return pageProtocol_; }
    std::optional<Protocol> ProtocolOf(uint32_t connection) const {
        return pageProtocol_.Of(connection);
    }

  private:
    void BeginConnect(const Destination &params, const std::optional<TlsReach> &reach,
                      std::optional<ProxyUrl> proxy);
    void SetLook(bool connected);
    void StartConnection(std::unique_ptr<Connection> connection);
    void Progress(ConnectionEvent &event);
    TlsClientOptions TlsOptionsFor(const std::string &host, int32_t port) const;
    // The destination's TLS details made ready, the passphrase asked for first when the key
    // needs one; none when the view was asked or warned (startTls: for the switch, not a
    // connect).
    std::optional<TlsReach> ReachFor(const Destination &params, bool startTls);
    TlsClientOptions ReachingOptions(const Destination &params, const TlsReach &reach);
    // The key log the option or SSLKEYLOGFILE names, opened for this connection; none without
    // one, or with a warning when it cannot be opened.
    std::shared_ptr<KeyLog> OpenKeyLog();
    bool ListenAgain();
    ListenOutcome ListenWith(const ListenParams &params,
                             std::shared_ptr<const TlsServerIdentity> identity,
                             ListenOutcome outcome);
    void SetStatus(const std::string &text);
    void QuitConnection();
    int Keep(Direction direction, int64_t timeUs, std::string_view bytes);
    void KeepNote(int64_t timeUs, const std::string &text);
    void StartLog(const Destination &params);
    void EndLastConnection(const OptionValues &switches);
    // listening: a peer accepted, whose port says nothing of the protocol it speaks.
    void BeginTranscriptPart(const Destination &params, bool listening);
    void ShowStoreState();
    void TakeStoredViewChoice(const OptionValues &values);

    MainView &view_;
    SettingsHashes &settings_;
    std::function<void()> wake_;
    ConnectionFactory factory_;
    std::unique_ptr<Connection> connection_;
    ReceiveFlow flow_;
    uint64_t generation_ = 0; // counts connections, so a late answer knows it is late
    bool connectedLook_ = false;
    bool showOnNextData_ = false; // set by Connect and Send, spent by the first data after them
    std::string status_;
    Transcript transcript_;
    uint64_t handedOver_ = 0; // bytes handed to the current connection to send
    bool stalled_ = false;    // the status tells that the transcript holds reading
    std::string statusBeforeStall_;
    PageEncoding pageEncoding_;
    PageProtocol pageProtocol_;
    // The options' choice of the page's encoding when last read: a change made to the options
    // (the window's menu stores every choice there) is the user's new choice.
    std::optional<Encoding> storedViewChoice_ = Encoding::Utf8;
    std::unique_ptr<SessionLog> log_;
    std::string logFolder_;
    Encoding logEncoding_ = Encoding::Utf8;

    std::string settingsPath_;
    std::string caFile_;
    Destination destination_; // of the current connection (the listening side: the port)
    bool tlsStarted_ = false; // TLS asked for on the current connection
    bool peerReached_ = false;
    bool listening_ = false; // the current connection is a listening one
    bool userEnded_ = false; // Disconnect was asked: no listening again
    ListenParams listenParams_;
    std::shared_ptr<const TlsServerIdentity> identity_;
    std::vector<CertificateInfo> chain_;
    std::optional<std::string> lastQuestionLeaf_; // the fingerprint the last question was about

    Environment environment_ = SystemEnvironment;
    // A connect waiting for the proxy's password, and the proxy whose kept password the current
    // connection uses.
    struct AwaitingPassword {
        Destination params;
        std::optional<TlsReach> reach;
        ProxyUrl proxy;
    };
    std::optional<AwaitingPassword> awaitingPassword_;
    std::optional<ProxyUrl> keptPasswordUsed_;
    // The ends of each connection of the record, for its capture file.
    std::vector<std::pair<uint32_t, CaptureConnection>> captureEnds_;
    void CaptureEnded(bool byPeer);
    // A connect or a switch to TLS waiting for the passphrase of its client key, and the one the
    // user gave, for its next try.
    struct AwaitingPassphrase {
        Destination params;
        bool startTls = false;
        uint64_t generation = 0;
    };
    std::optional<AwaitingPassphrase> awaitingPassphrase_;
    std::optional<std::string> passphrase_;
    bool keepPassphrase_ = false;
};

} // namespace tarvotcpc
