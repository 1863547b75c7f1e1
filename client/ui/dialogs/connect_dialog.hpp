// "接続": asks for the destination of a new connection and its proxy. The history of destinations
// fills the editable host list (an entry brings its TLS choice and proxy with it); OK decides
// through DecideConnect, warns and stays open when a field is missing, and keeps the history (in
// memory and in the settings file) through RememberDestination.
#pragma once

#include <QDialog>

#include <map>
#include <string>

#include "hosts/destination.hpp"
#include "settings/settings.hpp"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tarvotcpc::ui {

class ConnectDialog : public QDialog {
    Q_OBJECT

  public:
    ConnectDialog(QWidget *parent, SettingsHashes &settings, std::string settingsPath);

    // The destination, once the dialog was accepted.
    const Destination &Params() const { return params_; }

    QComboBox *HostBox() const { return host_; }
    QLineEdit *PortEdit() const { return port_; }
    QCheckBox *TlsBox() const { return tls_; }
    QLineEdit *ProxyEdit() const { return proxy_; }
    QPushButton *TlsDetailsButton() const { return detailsButton_; }
    // The destination's own TLS settings as the dialog holds them: the chosen history entry's,
    // or what the TLS details dialog (or the command line) set.
    const TlsDetails &Details() const { return details_; }
    void SetDetails(const TlsDetails &details);

  public slots:
    void accept() override;

  private:
    SettingsHashes &settings_;
    std::string settingsPath_;
    Destination params_;
    QComboBox *host_;
    QLineEdit *port_;
    QCheckBox *tls_;
    QLineEdit *proxy_;

    // The TLS details: a button that opens their dialog, with a line saying what they change.
    void AddTlsDetails();
    void EditTlsDetails();
    std::map<std::string, TlsDetails> keptDetails_; // of the history's destinations
    TlsDetails details_;
    QPushButton *detailsButton_ = nullptr;
    QLabel *detailsSummary_ = nullptr;
};

} // namespace tarvotcpc::ui
