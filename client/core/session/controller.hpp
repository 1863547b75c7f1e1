// The main window's decisions: what Connect, Send, Disconnect, the end of a connection and closing
// do, and in which order. The window implements MainView to show the results and forwards its
// commands and the connection's wake-ups here; it decides nothing itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_writer.hpp"
#include "connection/connection.hpp"
#include "exchange/auto_reply.hpp"
#include "exchange/placeholders.hpp"
#include "exchange/repeat.hpp"
#include "hosts/destination.hpp"
#include "net/listener.hpp"
#include "proxy/proxy_choice.hpp"
#include "replay/script_maker.hpp"
#include "session/message_style.hpp"
#include "session/page_encoding.hpp"
#include "session/page_protocol.hpp"
#include "settings/options.hpp"
#include "session/receive_flow.hpp"
#include "saves/session_log.hpp"
#include "settings/settings.hpp"
#include "transcript/text_decoder.hpp"
#include "transcript/transcript.hpp"
#include "hosts/tls_reach.hpp"

namespace tarvotcpc {

struct CertificateQuestion;
class ScriptSession;
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
    // Automatic replies went on or off for the connection (the user's switch, or the controller's
    // stop at the limit or at the end of the connection).
    virtual void SetAutoRepliesOn(bool) {}
    // The latest reply time, "応答 200.3ms", for the status bar; empty at a new connection.
    virtual void SetReplyTimeText(const std::string &) {}

    // The values of "%?name%" markers before a send, one per name in order, asked at once (the
    // controller goes on with the answer); none when the user gave up the send.
    virtual std::optional<std::vector<std::string>>
    AskPlaceholderValues(const std::vector<std::string> &names) {
        (void)names;
        return std::nullopt;
    }
    // A question before a send (markers that stay as typed), answered at once: send all the same?
    virtual bool ConfirmSend(const std::string &question) {
        (void)question;
        return false;
    }
    // The repeated send changed: the status bar's text for it, and whether it still runs.
    virtual void RepeatChanged(const std::string &text, bool running) {
        (void)text;
        (void)running;
    }
    // The client certificate's key is encrypted and no passphrase opens it: nothing is connected
    // (or switched to TLS) until the view answers through MainController::AnswerPassphrase.
    virtual void AskPassphrase(const PassphraseQuestion &) {}
    // A script started or ended: the commands that start and stop one change.
    virtual void ScriptRunning(bool) {}
};

// Text on its way out through MainController::SendText.
struct OutgoingText {
    std::string text; // as the send page holds it
    // Kept in the record just before the bytes, once the socket takes them: what marks a send
    // the client made by itself. Empty for the user's own send.
    std::string note;
    // A user at the keyboard may be asked for "%?name%" values and about markers that stay as
    // typed; otherwise those markers stay as typed without a word.
    bool atKeyboard = true;
};

// What a send's markers got from the user: asked once, kept for every send of a repeat.
struct SendAnswers {
    std::map<std::string, std::string> values; // "%?name%" by name
    bool unknownAccepted = false;              // send with markers that stay as typed
};

// The exact bytes a send would give now, for the preview.
struct SendPreview {
    bool ok = false;
    std::string bytes;
    std::string text;    // the bytes in the escape form, as lines (EscapedLines)
    std::string hex;     // offset, 16 bytes in hex, then those that are printable ASCII
    std::string summary; // the size, the encoding and the line ending
    std::string error;   // why nothing would go out
    std::vector<std::string> unknown; // markers that would stay as typed
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
    // Datagrams on a UDP port: the first datagram's sender is the peer, and each send goes to
    // whoever sent the last one. No TLS.
    bool udp = false;
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
    // A UDP destination takes neither TLS nor a proxy: either one is refused with a warning
    // (kUdpTlsText, UdpProxyText), before anything changes.
    void Connect(const Destination &params);

    // Sends the send page's text encoded as the options say (encoding, line ending, escapes);
    // with "consenclear" the page is emptied once its text was taken. Over UDP the page is one
    // datagram, an empty page an empty one: a page larger than a datagram can be (MaxDatagramFor
    // the peer) is refused with a warning, and so is a send while listening before any datagram
    // came, as there is nobody to send it to. The bytes are kept as sent
    // once the connection has written them; what it never wrote (a refused connect, a cancelled
    // certificate question, a Disconnect before the peer read, a failed write) is not kept, and
    // the end of the connection tells how many bytes that was. Text that cannot be encoded
    // is refused with a warning naming the place, and nothing is sent. Nothing happens without a
    // connection.
    void Send();

    // The one way out for text, whoever sends it (the user, a repeat, an automatic reply, a
    // script): the "%name%" markers replaced when the 送信 menu says so (values a user at the
    // keyboard is asked for go into answers), then encoding, line ending and escapes as the options
    // say, then the connection, with out.note marking the bytes in the record. Text that cannot be
    // encoded is refused with a warning naming the place. Result whether the bytes were handed
    // over (an empty text hands over nothing and counts as sent).
    bool SendText(const OutgoingText &out, SendAnswers &answers);
    // The bytes the send page would give now, markers and all, without sending; "%?name%" values
    // are asked for, the counter is not advanced.
    SendPreview Preview();

    // Sends the send page as it is now every params.intervalMs, params.count times (0: until
    // StopRepeat), starting once the peer is reached; "%?name%" values and markers that stay are
    // asked about once, here. False, with nothing started, when that was refused or there is no
    // connection. The window then calls RepeatTick when it says.
    bool StartRepeat(const RepeatParams &params);
    // Sends what is due and says when to call again (none: the repeat is over). It stops, telling
    // the view why, at the end of the connection, at a send that cannot be encoded, and when the
    // peer does not read (more than RepeatUnsentLimit bytes wait unsent).
    std::optional<std::chrono::steady_clock::time_point> RepeatTick();
    void StopRepeat();
    const Repeater &Repeat() const { return repeater_; }

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
    bool Busy() const { return connection_ != nullptr || !flow_.Idle() || script_ != nullptr; }
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
    // Where a script made from the record connects for connection `connection`: the destination
    // as it was given (its name, which a TLS certificate is checked against, and whether it was
    // TLS from the start); nullopt for a peer that connected to this side, a UDP destination
    // (a script connects over TCP), or a connection that never reached its peer.
    std::optional<ScriptTarget> ScriptTargetOf(uint32_t connection) const;

    // The peer's certificates (leaf first) once a TLS handshake is done; empty otherwise.
    const std::vector<CertificateInfo> &PeerChain() const { return chain_; }

    // Where "always trust" keeps its pins (the settings file), and trust anchors in place of the
    // system's store (tests, private CAs).
    void SetSettingsPath(std::string path) { settingsPath_ = std::move(path); }
    void SetTrustAnchors(std::string caFile) { caFile_ = std::move(caFile); }

    // The window closes: the connection is quit without any message; returns at once.
    void Close();

    // Runs a Lua script (docs/scripts.md) against this window's connection, on a thread of its
    // own: its sends go out as the send page's do, its waits and notes stand in the record, each
    // step shows in the status bar, and a failure is told with the script's line. One at a
    // time; StopScript ends it at its next instruction or wait (session/script_session.hpp).
    void RunScript(std::string source, std::string name);
    void StopScript();
    bool ScriptRunning() const { return script_ != nullptr; }

    // Received bytes in the connection's queue, and bytes taken from it that wait for the
    // transcript.
    std::size_t QueuedBytes() const;
    std::size_t Backlog() const { return flow_.Backlog(); }

    bool ConnectedLook() const { return connectedLook_; }
    const std::string &StatusText() const { return status_; }
    bool HasConnection() const { return connection_ != nullptr; }

    // "host:portに接続中" ("host:port (UDP)に接続中")
    static std::string ConnectingText(const Destination &params);

    // The receive page's encoding: the user's choice, or with 自動判別 (none) what the current
    // connection's received bytes were detected as. Taken from the options at Start and at each
    // connection (where "viewautodetect" starts it automatic); the window hands a choice made in
    // between to ChooseViewEncoding. A send page that follows the view's encoding goes out in
    // the one in force.
    const PageEncoding &ViewEncoding() const { return pageEncoding_; }
    void ChooseViewEncoding(std::optional<Encoding> chosen);

    // Automatic replies (controller_replies.cpp): switched on for the current connection with
    // the rules of the settings file, and off again when the user makes a new one (the peers of
    // one listening keep them). On, each match of a rule in what the peer sends (decoded as the
    // page reads it) sends the rule's reply as Send sends the page, marked in the record as the
    // client's own; past the limit of replies they stop with a warning. False (with a warning)
    // when they cannot go on: no connection, or no usable rule.
    bool SetAutoReplies(bool on);
    bool AutoRepliesOn() const { return replier_ != nullptr; }
    // The rules changed in the settings file: replies that are on go on with the new ones.
    void ReloadReplyRules();
    // The limit of replies (tests); ReplyLimit's by default.
    void SetReplyLimit(ReplyLimit limit) { replyLimit_ = limit; }
    // The current connection's (or the last one's) reply times summed up, for a message box.
    std::string ReplyTimesSummary() const;
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
    friend class ScriptSession;
    void SendScriptBytes(std::string bytes);
    void PumpScript();
    void RunAutoReplies();
    void SendAutomatic(const std::string &rule, const std::string &text);
    void KeepReplyTime(uint64_t offset, int64_t us);
    void StopAutoReplies();

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
    int Keep(Direction direction, int64_t timeUs, std::string_view bytes, bool datagram);
    void KeepNote(int64_t timeUs, const std::string &text, NoteKind kind = NoteKind::Stream);
    void StartLog(const Destination &params);
    void EndLastConnection(const OptionValues &switches);
    // listening: a peer accepted, whose port says nothing of the protocol it speaks.
    void BeginTranscriptPart(const Destination &params, bool listening);
    void ShowStoreState();
    void TakeStoredViewChoice(const OptionValues &values);

    // UDP (controller_udp.cpp): the refusals of what does not apply to datagrams, the listening
    // socket, whether a page may go as one datagram now, and the datagram events.
    void ConnectUdp(const Destination &params);
    std::optional<ListenOutcome> RefuseUdpListen(const ListenParams &params);
    std::optional<ListenResult> BindUdp(const ListenParams &params, ConnectionOptions &options);
    bool CanSendDatagram();
    bool DatagramFits(std::size_t size);
    void UdpReached(const ConnectionEvent &event);
    void DatagramProgress(const ConnectionEvent &event);
    bool datagrams_ = false;   // the current connection's are UDP datagrams
    std::string datagramPeer_; // where they go: the address reached, or the last sender

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
    std::vector<std::pair<uint32_t, ScriptTarget>> scriptTargets_;
    void CaptureEnded(bool byPeer);

    std::unique_ptr<AutoReplier> replier_; // on while there is one
    ReplyLimit replyLimit_;
    // The current connection's reply times, and the one the next received bytes kept carry.
    std::vector<int64_t> replyTimes_;
    std::optional<int64_t> pendingReply_;
    // The send path (send_path.cpp).
    // The bytes of text as the options say; none when the user gave up or they were refused (a
    // warning, or with refusal given, why in it).
    std::optional<PreparedSend> Prepare(const std::string &text, SendAnswers &answers,
                                        bool atKeyboard, std::string *refusal = nullptr);
    PlaceholderValues ValuesNow();
    void StopRepeatWith(const std::string &why);
    uint64_t sendCounter_ = 0; // sends handed to the current connection, for "%counter%"
    std::mt19937 random_{std::random_device{}()};
    // The other end for "%host%" and "%port%" while listening.
    std::string peerHost_;
    int32_t peerPort_ = 0;
    Repeater repeater_;
    std::string repeatText_;
    SendAnswers repeatAnswers_;
    std::size_t repeatBytes_ = 0; // of the repeat's last send
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
    // Last, so that it goes first: its thread may still call into the members above until then.
    std::unique_ptr<ScriptSession> script_;
};

} // namespace tarvotcpc
