#include "session/page_protocol.hpp"

#include <algorithm>
#include <string_view>

namespace tarvotcpc {

ProtocolChoice ViewProtocolOf(const OptionValues &values) {
    const std::string_view stored = values.Text(Option::ViewProtocol);
    if (stored == kViewProtocolFromPort) return {ProtocolChoice::Kind::FromPort};
    static constexpr std::pair<std::string_view, Protocol> kFixed[] = {
        {"http", Protocol::Http}, {"resp", Protocol::Resp}, {"smtp", Protocol::Smtp},
        {"ftp", Protocol::Ftp},   {"imap", Protocol::Imap},
    };
    for (const auto &[value, protocol] : kFixed)
        if (stored == value) return {ProtocolChoice::Kind::Fixed, protocol};
    return {};
}

bool PageProtocol::Choose(ProtocolChoice choice) {
    if (choice == chosen_) return false;
    chosen_ = choice;
    return true;
}

void PageProtocol::BeginConnection(uint32_t connection, std::optional<int32_t> port) {
    ports_.emplace_back(connection, port);
}

std::optional<Protocol> ProtocolFor(const ProtocolChoice &choice, std::optional<int32_t> port) {
    switch (choice.kind) {
    case ProtocolChoice::Kind::Off:
        return std::nullopt;
    case ProtocolChoice::Kind::Fixed:
        return choice.protocol;
    case ProtocolChoice::Kind::FromPort:
        break;
    }
    return port ? ProtocolForPort(*port) : std::nullopt;
}

std::optional<Protocol> PageProtocol::Of(uint32_t connection) const {
    const auto it = std::find_if(ports_.rbegin(), ports_.rend(), [connection](const auto &entry) {
        return entry.first == connection;
    });
    return ProtocolFor(chosen_, it == ports_.rend() ? std::nullopt : it->second);
}

} // namespace tarvotcpc
