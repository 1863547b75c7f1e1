// The dialogs of TLS and listening: the question about a certificate that did not verify, the
// peer's certificate chain, and the listen dialog. Each runs modally (tests answer it with
// WhenModal); the decisions are the controller's.
#pragma once

#include <QDialog>

#include <optional>
#include <vector>

#include "session/controller.hpp"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace tarvotcpc::ui {

// Cancel (the default: Enter and Escape both cancel), connect this once, or always trust.
class CertificateDialog : public QDialog {
    Q_OBJECT

  public:
    CertificateDialog(QWidget *parent, const CertificateQuestion &question);
    CertificateChoice Choice() const { return choice_; }

  private:
    CertificateChoice choice_ = CertificateChoice::Cancel;
};

CertificateChoice AskCertificate(QWidget *parent, const CertificateQuestion &question);

void ShowCertificateChain(QWidget *parent, const std::vector<CertificateInfo> &chain);

class ListenDialog : public QDialog {
    Q_OBJECT

  public:
    explicit ListenDialog(QWidget *parent);
    const ListenParams &Params() const { return params_; }

  public slots:
    void accept() override;

  private:
    ListenParams params_;
    QLineEdit *port_;
    QComboBox *bind_;
    QLineEdit *address_;
    QCheckBox *tls_;
    QLineEdit *certificate_;
    QLineEdit *key_;
    QComboBox *protocol_;
};

} // namespace tarvotcpc::ui
