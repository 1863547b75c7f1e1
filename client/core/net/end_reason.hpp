// Why a connection ended, and the texts the user sees for it.
#pragma once

#include <string>

namespace tarvotcpc {

// The first three, and the proxy's two, happen before the connection is up.
enum class EndReason {
    SocketFailed,    // "ソケットの作成に失敗しました"
    HostNotFound,    // "ホスト%sが見つかりません"
    ConnectFailed,   // "接続に失敗しました"
    ProxyFailed,     // the proxy did not open the tunnel; systemText is the whole text
    ProxyAuthFailed, // the proxy refused the user or password; systemText is the whole text
    Disconnected,    // "切断しました": the user asked for it
    PeerClosed,      // "切断しました": the peer closed its side
    // The peer's TLS stream stopped without close_notify: anyone on the path can cut it there, so
    // the bytes received cannot be known to be all the peer sent.
    PeerClosedWithoutNotify,
    Error, // "エラー: %s": receiving or sending failed, with the system's text
};

// The texts the user sees for an end; host goes into HostNotFound, systemText into Error.
std::string EndText(EndReason reason, const std::string &host, const std::string &systemText);

// The failures before a connection is up are warnings; the others are plain notices.
bool IsStartFailure(EndReason reason);

} // namespace tarvotcpc
