// The question for a proxy's password: asked before connecting when the proxy names a user and no
// password is kept. Modal (tests answer it with WhenModal); the decisions are the controller's.
#pragma once

#include <QDialog>

#include <optional>
#include <string>

#include "session/controller.hpp"

class QCheckBox;
class QLineEdit;

namespace tarvotcpc::ui {

class ProxyPasswordDialog : public QDialog {
    Q_OBJECT

  public:
    ProxyPasswordDialog(QWidget *parent, const ProxyPasswordQuestion &question);

    QLineEdit *PasswordEdit() const { return password_; }
    QCheckBox *KeepBox() const { return keep_; }

  private:
    QLineEdit *password_;
    QCheckBox *keep_;
};

struct ProxyPasswordAnswer {
    std::optional<std::string> password; // none: cancelled
    bool keep = false;
};

ProxyPasswordAnswer AskProxyPassword(QWidget *parent, const ProxyPasswordQuestion &question);

} // namespace tarvotcpc::ui
