// A destination's own TLS settings: the client certificate it shows a server that asks for one,
// the server name it sends (SNI) and the application protocols it offers (ALPN). They go with a
// TLS connection and with STARTTLS alike, and are kept beside the history of destinations, in a
// section of their own, for as long as the history holds the destination. Passphrases of client
// keys are kept only when the user asks, in another section.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "settings/settings.hpp"

namespace tarvotcpc {

struct TlsDetails {
    // A PEM file (the certificate, then any intermediates, and the key unless keyFile names
    // it) or a PKCS#12 file; empty: no client certificate.
    std::string certificateFile;
    std::string keyFile;
    std::string serverName; // as written: empty for the host's, "なし" for none, or a name
    std::string alpn;       // as written: "h2,http/1.1"

    bool Empty() const {
        return certificateFile.empty() && keyFile.empty() && serverName.empty() && alpn.empty();
    }
    bool operator==(const TlsDetails &) const = default;
};

enum class TlsDetailsField { CertificateFile, KeyFile, ServerName, Alpn };

struct TlsDetailsProblem {
    std::string warning;
    TlsDetailsField field = TlsDetailsField::CertificateFile;
};

// What the dialog refuses before anything is connected: a key file without a certificate file, a
// line break in a file name, a server name or ALPN list that cannot be sent. Whether the files
// open is found when connecting.
std::optional<TlsDetailsProblem> CheckTlsDetails(const TlsDetails &details);

// One line for the connect dialog: what the details change, or that they change nothing.
std::string TlsDetailsSummary(const TlsDetails &details);

inline constexpr char kSectionTlsDetails[] = "TLSDETAILS";
inline constexpr char kSectionTlsPassphrases[] = "TLSPASSPHRASES";

// Every destination's details in the settings file at path, by PinKey(host, port).
std::map<std::string, TlsDetails> LoadTlsDetails(const std::string &path);
// The details of host and port among them; empty details when there are none.
TlsDetails TlsDetailsFor(const std::map<std::string, TlsDetails> &all, const std::string &host,
                         int32_t port);

// Keeps the destination's details with it once it is in the history (with the option "hostsave"
// on): replaced, or dropped when empty, and the details of destinations that left the history
// dropped too. Result: whether the section now says so (false also when nothing was to be kept).
bool RememberTlsDetails(const SettingsHashes &settings, const std::string &host, int32_t port,
                        const TlsDetails &details, const std::string &path);
// Empties the section, with the history (ClearHostHistory).
bool ClearTlsDetails(const std::string &path);

// The passphrase kept for the key in file (as the details name it); none when none is kept.
std::optional<std::string> LoadTlsPassphrase(const std::string &path, const std::string &file);
// Keeps it, or drops it (one that no longer opens the key); false when the file could not be
// written, which leaves it as it was.
bool SaveTlsPassphrase(const std::string &path, const std::string &file,
                       const std::string &passphrase);
bool ForgetTlsPassphrase(const std::string &path, const std::string &file);

} // namespace tarvotcpc
