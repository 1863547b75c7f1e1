// The window's decisions for UDP. What does not apply to datagrams (TLS, a proxy) is refused
// before anything changes; a page goes as one datagram or not at all; and what the socket tells
// of its datagrams (an ICMP error, datagrams lost, a new sender) stands in the record as a note
// and in the status bar, without a message box: there is no connection to lose, a port that
// refused may be listening a moment later, and a peer that keeps refusing would otherwise bury
// the window in boxes.
#include "session/controller.hpp"

#include "hosts/host_field.hpp"
#include "net/datagram.hpp"

namespace tarvotcpc {

namespace {

std::string UdpProxyText(const std::string &source) {
    return "UDPはプロキシを通せません(" + source +
           "が設定されています)。直接送るには、接続先のプロキシ欄に「なし」と書いてください";
}

} // namespace

void MainController::ConnectUdp(const Destination &params) {
    if (params.tls) {
        view_.ShowWarning(kUdpTlsText);
        return;
    }
    // A proxy set for every destination is meant for them all: going around it unasked could
    // show the peer an address the user meant to keep from it.
    const ProxyChoice choice =
        ChooseProxy(params.proxy, ReadOptions(settings_).Text(Option::Proxy), environment_,
                    params.host, static_cast<uint16_t>(static_cast<uint32_t>(params.port)), false);
    if (choice.kind != ProxyChoice::Kind::Direct) {
        view_.ShowWarning(UdpProxyText(choice.source));
        return;
    }
    BeginConnect(params, std::nullopt, std::nullopt);
}

std::optional<ListenOutcome> MainController::RefuseUdpListen(const ListenParams &params) {
    if (!params.udp || !params.tls) return std::nullopt;
    ListenOutcome outcome;
    outcome.text = kUdpTlsText;
    view_.ShowMessage(outcome.text, MessageStyle::Warning);
    return outcome;
}

std::optional<ListenResult> MainController::BindUdp(const ListenParams &params,
                                                    ConnectionOptions &options) {
    if (!params.udp) return std::nullopt;
    ListenResult bound = BindDatagramAt(params.bind, params.address,
                                        static_cast<uint16_t>(static_cast<uint32_t>(params.port)));
    if (bound.fd < 0) return bound;
    options.datagrams = true;
    options.endpoint = [fd = std::make_shared<UniqueFd>(bound.fd)] {
        return MakeDatagramListenEndpoint(std::move(*fd));
    };
    return bound;
}

bool MainController::CanSendDatagram() {
    if (!listening_ || !datagramPeer_.empty()) return true;
    view_.ShowWarning("まだどこからもデータグラムが届いていないため、送り先がありません。"
                      "相手から先に送ってもらってください");
    return false;
}

bool MainController::DatagramFits(std::size_t size) {
    // Before the address is known, a destination written as an IPv6 address has the IPv6 limit
    // and any other the smaller IPv4 one.
    std::string peer = datagramPeer_;
    if (peer.empty() && IsIpv6Literal(destination_.host)) peer = "[" + destination_.host + "]:0";
    const std::size_t limit = MaxDatagramFor(peer);
    if (size <= limit) return true;
    view_.ShowWarning("送信データは" + std::to_string(size) +
                      "バイトあり、1つのデータグラムに入りません(UDPで一度に送れるのは" +
                      std::to_string(limit) + "バイトまでです)。何も送っていません");
    return false;
}

void MainController::UdpReached(const ConnectionEvent &event) {
    datagramPeer_ = event.data;
    if (listening_) {
        view_.SetPeerText("相手: " + event.data);
        SetStatus(event.data + "からデータグラムを受信しました。送信はこの相手に届きます");
    } else {
        view_.SetPeerText(event.data + "  UDP");
    }
}

void MainController::DatagramProgress(const ConnectionEvent &event) {
    if (event.type == ConnectionEvent::Type::PeerChanged) {
        datagramPeer_ = event.data;
        view_.SetPeerText("相手: " + event.data);
        SetStatus(event.data + "からデータグラムを受信しました。送信はこの相手に届きます");
        return;
    }
    SetStatus("警告: " + event.data);
}

} // namespace tarvotcpc
