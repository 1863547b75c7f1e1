#include "hosts/tls_reach.hpp"

namespace tarvotcpc {

TlsReachOutcome PrepareTlsReach(const TlsDetails &details, const std::string &settingsPath,
                                const std::optional<std::string> &passphrase) {
    TlsReachOutcome outcome;
    if (const std::optional<TlsDetailsProblem> problem = CheckTlsDetails(details)) {
        outcome.text = problem->warning;
        return outcome;
    }
    std::string error;
    outcome.reach.serverName = *ParseServerName(details.serverName, error);
    outcome.reach.alpn = *ParseAlpnList(details.alpn, error);
    if (details.certificateFile.empty()) {
        outcome.status = TlsReachOutcome::Status::Ready;
        return outcome;
    }
    // The passphrase belongs to the file that holds the key.
    const std::string &keyFile =
        details.keyFile.empty() ? details.certificateFile : details.keyFile;
    std::optional<std::string> kept;
    if (!passphrase) kept = LoadTlsPassphrase(settingsPath, keyFile);
    const TlsClientIdentity::Loading loading = TlsClientIdentity::LoadFiles(
        details.certificateFile, details.keyFile, passphrase ? passphrase : kept);
    switch (loading.status) {
    case TlsClientIdentity::Status::Loaded:
        outcome.status = TlsReachOutcome::Status::Ready;
        outcome.reach.identity = loading.identity;
        return outcome;
    case TlsClientIdentity::Status::NeedsPassphrase:
    case TlsClientIdentity::Status::WrongPassphrase:
        outcome.status = TlsReachOutcome::Status::AskPassphrase;
        outcome.text = loading.text;
        outcome.retry = loading.status == TlsClientIdentity::Status::WrongPassphrase;
        if (kept && outcome.retry) ForgetTlsPassphrase(settingsPath, keyFile);
        return outcome;
    case TlsClientIdentity::Status::Failed:
        break;
    }
    outcome.text = loading.text;
    return outcome;
}

} // namespace tarvotcpc
