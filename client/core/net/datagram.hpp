// UDP: each send is one datagram and each read one datagram, whole. The connecting side connects
// its socket, so that the system drops what anyone else sends and tells of the ICMP errors its
// datagrams caused; the listening side answers whoever sent the last datagram. Neither has a
// connection to lose: an ICMP error, a datagram the socket could not send and datagrams lost to a
// full receive buffer are told as notices, and the socket goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "net/addresses.hpp"
#include "net/endpoint.hpp"
#include "net/transport.hpp"
#include "net/unique_fd.hpp"

namespace tarvotcpc {

// The largest datagram one IP packet carries: 65535 bytes less the IPv4 and UDP headers, or less
// the UDP header alone for IPv6, whose length field leaves out its own header.
inline constexpr std::size_t kMaxDatagramV4 = 65507;
inline constexpr std::size_t kMaxDatagramV6 = 65527;

// The limit for a peer as FormatAddress writes it ("[::1]:7" is IPv6; "127.0.0.1:7" and a mapped
// "[::ffff:127.0.0.1]:7" are IPv4); the IPv4 one for anything else, as the smaller.
std::size_t MaxDatagramFor(const std::string &peer);

// The options every UDP socket of the client gets: ICMP errors in the error queue (with who sent
// them), the count of datagrams dropped for want of room, and a receive buffer as large as the
// system allows up to a few MiB, since datagrams that find no room are lost.
void PrepareDatagramSocket(int fd, int family);

// Every address of host as MakeHostEndpoint finds them, then a UDP socket connected to the first
// that socket() and connect() take (IPv6 and IPv4 in the lookup's order): a connect(2) of UDP
// sends nothing, so there is no race to run. No address: HostNotFound; none taken: ConnectFailed.
std::unique_ptr<Endpoint> MakeDatagramEndpoint(std::string host, int32_t port, Resolver resolver);

// A bound UDP socket (non-blocking, owned by the endpoint) becomes the connection once a first
// datagram waits in it; its sender is the peer reached. The datagram stays for the transport.
std::unique_ptr<Endpoint> MakeDatagramListenEndpoint(UniqueFd bound);

// Reads and writes a UDP socket, connected or not. Read gives one datagram (Done with 0 bytes for
// an empty one) and, on a socket that is not connected, its sender in IoResult::from; Write sends
// one datagram whole, to the connected peer or else to the sender of the last datagram read (none
// before the first: an error). Notice tells what happened to earlier datagrams (an ICMP error
// from their destination, datagrams lost to a full buffer) before anything that came after it;
// nothing moved, and the same call goes on when made again.
class DatagramTransport final : public Transport {
  public:
    explicit DatagramTransport(UniqueFd socket);
    ~DatagramTransport() override { Close(); }

    int Fd() const override { return socket_.Get(); }
    short PollEvents(bool wantRead, bool wantWrite) const override;
    IoResult Read(char *buffer, std::size_t size) override;
    IoResult Write(const char *bytes, std::size_t size) override;
    void Close() override { socket_.Reset(); }
    bool HasPendingInput() const override { return !notices_.empty() || held_.has_value(); }
    bool Datagrams() const override { return true; }

  private:
    struct Datagram {
        std::string bytes;
        std::string from;    // not connected: the sender
        std::size_t cut = 0; // bytes that did not fit the reader's buffer
    };
    // Takes one entry of the socket's error queue as a notice; false when it holds none.
    bool TakeQueuedError();
    // One entry read from the queue into message: false when it tells nothing new.
    bool TellQueuedError(struct msghdr &message);
    IoResult NextNotice();
    IoResult Deliver(Datagram datagram, char *buffer, std::size_t size);

    UniqueFd socket_;
    bool connected_ = false;
    std::optional<SocketAddress> lastSender_; // not connected: where a write goes
    uint32_t dropsSeen_ = 0;                  // the socket's count of datagrams dropped, as told
    std::deque<std::string> notices_;         // to be told before anything else
    std::optional<Datagram> held_;            // read, waiting behind a notice
};

// The user's text for an ICMP error on a datagram (origin, type, code and info as the socket's
// error queue gives them: SO_EE_ORIGIN_*), offender: who sent it ("192.0.2.1"), or empty.
std::string IcmpErrorText(uint8_t origin, uint8_t type, uint8_t code, uint32_t info,
                          const std::string &offender);

} // namespace tarvotcpc
