// The dialogs of a destination's own TLS settings: "TLSの詳細" (the client certificate, the server
// name and the protocols offered) and the question for a client key's passphrase. Both run
// modally (tests answer them with WhenModal); the decisions are the core's (CheckTlsDetails,
// MainController::AnswerPassphrase).
#pragma once

#include <QDialog>

#include <optional>
#include <string>

#include "session/controller.hpp"
#include "hosts/tls_details.hpp"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace tarvotcpc::ui {

class TlsDetailsDialog : public QDialog {
    Q_OBJECT

  public:
    TlsDetailsDialog(QWidget *parent, const TlsDetails &details);

    // The details, once the dialog was accepted.
    const TlsDetails &Details() const { return details_; }

    QLineEdit *CertificateEdit() const { return certificate_; }
    QLineEdit *KeyEdit() const { return key_; }
    QLineEdit *ServerNameEdit() const { return serverName_; }
    QLineEdit *AlpnEdit() const { return alpn_; }

  public slots:
    void accept() override;

  private:
    void Browse(QLineEdit *edit, const QString &title);

    TlsDetails details_;
    QLineEdit *certificate_;
    QLineEdit *key_;
    QLineEdit *serverName_;
    QLineEdit *alpn_;
};

class PassphraseDialog : public QDialog {
    Q_OBJECT

  public:
    PassphraseDialog(QWidget *parent, const PassphraseQuestion &question);

    QLineEdit *PassphraseEdit() const { return passphrase_; }
    QCheckBox *KeepBox() const { return keep_; }

  private:
    QLineEdit *passphrase_;
    QCheckBox *keep_;
};

struct PassphraseAnswer {
    std::optional<std::string> passphrase; // none: cancelled
    bool keep = false;
};

PassphraseAnswer AskPassphrase(QWidget *parent, const PassphraseQuestion &question);

} // namespace tarvotcpc::ui
