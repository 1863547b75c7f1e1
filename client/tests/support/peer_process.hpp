// Test peers that run as programs of their own (openssl s_server, Python's ssl module), and
// certificates made for them in a temporary folder.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvotcpc::testing {

// A child process whose standard output and error the test reads. Killed when destroyed.
class PeerProcess {
  public:
    explicit PeerProcess(const std::vector<std::string> &argv);
    ~PeerProcess();
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    bool Started() const { return pid_ > 0; }
    // Reads until the output holds needle or the timeout passes; whether it does.
    bool WaitFor(const std::string &needle, std::chrono::milliseconds timeout);
    // Everything read so far.
    const std::string &Output() const { return output_; }
    // Writes to the child's standard input.
    void Send(const std::string &bytes);
    // Sends the child a signal (SIGINT: a capture ends and writes what it holds).
    void Signal(int signal);
    // Waits for the child to end (reading its output); its exit status, or -1 after the timeout.
    int Wait(std::chrono::milliseconds timeout);
    // The port from a line "<prefix><address>:<port>" of the output, after WaitFor(prefix).
    uint16_t PortAfter(const std::string &prefix) const;

  private:
    void ReadSome(int timeoutMs);
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
    std::string output_;
};

// Where the Python peer script is.
std::string PeerScript();

enum class CertKind { Leaf, SelfSigned, WrongName, Expired, RsaLeaf };

// A client certificate in every form a client reads, all of one key: "<name>.pem" with
// "<name>.key" beside it, both in one file ("<name>-both.pem"), and PKCS#12 ("<name>.p12", with
// the CA's certificate as its chain). The keys and the PKCS#12 file are under the passphrase when
// one is given.
struct ClientFiles {
    std::string certificate;
    std::string key;
    std::string combined;
    std::string pkcs12;
};

// A test CA and certificates in dir: "<name>.pem" and "<name>.key". Leaf, Expired and RsaLeaf are
// issued by the CA and name localhost, 127.0.0.1 and ::1; WrongName names only other.invalid.
// RsaLeaf has an RSA key, for peers that speak only an old TLS version: their only ciphers that
// pass the default security level carry no signature.
class TestPki {
  public:
    explicit TestPki(std::string dir);
    const std::string &CaFile() const { return caFile_; }
    // Writes the certificate and key; returns the certificate's path (the key is beside it).
    std::string Make(CertKind kind, const std::string &name);
    static std::string KeyOf(const std::string &certificatePath);
    // Issued by the CA for client authentication (CN "tarvotcpc client"), or self-signed.
    ClientFiles MakeClient(const std::string &name, const std::string &passphrase = {},
                           bool selfSigned = false);

  private:
    std::string dir_;
    std::string caFile_;
    std::string caKeyPem_;
    std::string caCertPem_;
};

} // namespace tarvotcpc::testing
