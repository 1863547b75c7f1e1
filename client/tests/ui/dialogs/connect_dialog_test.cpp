// The connect dialog: what it lists, what it accepts, what it warns about and the history it keeps.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <fstream>
#include <iterator>

#include <QCheckBox>

#include "dialogs/connect_dialog.hpp"
#include "dialogs/proxy_dialogs.hpp"
#include "dialogs/tls_reach_dialogs.hpp"
#include "hosts/destination.hpp"
#include "settings/ini.hpp"
#include "support/ui_support.hpp"

namespace tarvotcpc::ui {
namespace {

using testing::BoxAnswerer;
using testing::SettingsFile;

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

// The dialog over settings loaded from a file, as the main window holds them.
struct Fixture {
    explicit Fixture(const std::vector<std::string> &options = {},
                     const std::vector<std::string> &hosts = {})
        : file(options, hosts) {
        LoadSettings(settings, file.Path());
        dialog = std::make_unique<ConnectDialog>(nullptr, settings, file.Path());
    }
    ~Fixture() {
        dialog.reset();
        FreeSettings(settings);
    }
    // Fills the fields and presses 接続; true when the dialog was accepted.
    bool Ok(const QString &host, const QString &port) {
        dialog->HostBox()->setEditText(host);
        dialog->PortEdit()->setText(port);
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
        return dialog->result() == QDialog::Accepted;
    }
    std::vector<std::string> Hosts() const { return HostHistory(settings); }
    std::vector<std::string> HostsInFile() const {
        std::ifstream in(file.Path());
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        return IniSectionEntries(text, kSectionHosts);
    }

    SettingsFile file;
    SettingsHashes settings{};
    std::unique_ptr<ConnectDialog> dialog;
};

class ConnectDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void controlsAndTexts();
    void listsTheHistoryNewestFirst();
    void startsEmptyWithoutHistory();
    void colonInHostTakesThePortFromIt();
    void portTextReadAsLeadingDigits();
    void missingFieldsWarnAndKeepTheDialogOpen();
    void keepsTheHistoryWhenAsked();
    void leavesTheHistoryAloneOtherwise();
    void typingIsNeverCompletedInPlace();
    void theProxyFieldFollowsTheHistoryAndIsChecked();
    void proxyPasswordByKeyboardAlone();
    void tlsDetailsByKeyboardAndWithTheHistory();
};

void ConnectDialogTest::controlsAndTexts() {
    Fixture f;
    ConnectDialog &d = *f.dialog;
    QCOMPARE(d.windowTitle(), U("接続"));
    QStringList labels;
    for (QLabel *label : d.findChildren<QLabel *>())
        labels << label->text();
    QVERIFY(labels.contains(U("接続先ホスト:")));
    QVERIFY(labels.contains(U("ポート番号:")));
    QVERIFY(d.HostBox()->isEditable());
    QCOMPARE(d.HostBox()->lineEdit()->maxLength(), 1024);
    QCOMPARE(d.PortEdit()->maxLength(), 1023);
    auto *ok = d.findChild<QPushButton *>(QStringLiteral("connectPushButton"));
    auto *cancel = d.findChild<QPushButton *>(QStringLiteral("cancelPushButton"));
    QCOMPARE(ok->text(), U("接続"));
    QVERIFY(ok->isDefault());
    QCOMPARE(cancel->text(), U("キャンセル"));
    QCOMPARE(d.HostBox()->accessibleName(), U("接続先ホスト:"));
    QCOMPARE(d.PortEdit()->accessibleName(), U("ポート番号:"));
}

void ConnectDialogTest::listsTheHistoryNewestFirst() {
    Fixture f({}, {"host0=alpha:80", "host1=beta:8080"});
    QCOMPARE(f.dialog->HostBox()->count(), 2);
    QCOMPARE(f.dialog->HostBox()->itemText(0), QStringLiteral("alpha:80"));
    QCOMPARE(f.dialog->HostBox()->itemText(1), QStringLiteral("beta:8080"));
    QCOMPARE(f.dialog->HostBox()->currentText(), QStringLiteral("alpha:80"));
    // The entry chosen from the list connects without a port of its own.
    f.dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    QCOMPARE(f.dialog->result(), int(QDialog::Accepted));
    QCOMPARE(f.dialog->Params().host, std::string("alpha"));
    QCOMPARE(f.dialog->Params().port, 80);
}

void ConnectDialogTest::startsEmptyWithoutHistory() {
    Fixture f;
    QCOMPARE(f.dialog->HostBox()->count(), 0);
    QCOMPARE(f.dialog->HostBox()->currentText(), QString());
    QCOMPARE(f.dialog->PortEdit()->text(), QString());
}

void ConnectDialogTest::colonInHostTakesThePortFromIt() {
    BoxAnswerer boxes;
    Fixture f;
    QVERIFY(f.Ok(QStringLiteral("alpha:8080"), QStringLiteral("99")));
    QCOMPARE(f.dialog->Params().host, std::string("alpha"));
    QCOMPARE(f.dialog->Params().port, 8080);
    QVERIFY(boxes.Seen().empty());
}

void ConnectDialogTest::portTextReadAsLeadingDigits() {
    Fixture a;
    QVERIFY(a.Ok(QStringLiteral("alpha"), QStringLiteral("12ab")));
    QCOMPARE(a.dialog->Params().port, 12);
    Fixture b;
    QVERIFY(b.Ok(QStringLiteral("alpha"), QStringLiteral("abc")));
    QCOMPARE(b.dialog->Params().port, 0);
}

void ConnectDialogTest::missingFieldsWarnAndKeepTheDialogOpen() {
    BoxAnswerer boxes;
    Fixture f({"hostsave=1"});
    f.dialog->show();
    QVERIFY(!f.Ok(QString(), QString()));
    QVERIFY(!f.Ok(QStringLiteral(":80"), QString()));
    QVERIFY(!f.Ok(QStringLiteral("alpha"), QString()));
    QCOMPARE(boxes.Seen().size(), std::size_t(3));
    // Both empty: the port is asked for first; a text that starts with ":" has no host.
    QCOMPARE(boxes.Seen()[0].text, U("ポート番号を入力してください"));
    QCOMPARE(boxes.Seen()[1].text, U("接続先IPアドレスまたはホスト名を入力してください"));
    QCOMPARE(boxes.Seen()[2].text, U("ポート番号を入力してください"));
    for (const testing::SeenBox &box : boxes.Seen()) {
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QStringLiteral(" ")); // blank, not the program name
    }
    QVERIFY(f.dialog->isVisible());
    QVERIFY(f.Hosts().empty());
    QVERIFY(f.HostsInFile().empty());
}

void ConnectDialogTest::keepsTheHistoryWhenAsked() {
    Fixture f({"hostsave=1"}, {"host0=alpha:80", "host1=Beta:8080"});
    QVERIFY(f.Ok(QStringLiteral("beta"), QStringLiteral("08080")));
    const std::vector<std::string> expected = {"beta:8080", "alpha:80"};
    QCOMPARE(f.Hosts(), expected);
    const std::vector<std::string> inFile = {"host0=beta:8080", "host1=alpha:80"};
    QCOMPARE(f.HostsInFile(), inFile);
}

void ConnectDialogTest::leavesTheHistoryAloneOtherwise() {
    Fixture f({"hostsave=0"}, {"host0=alpha:80"});
    QVERIFY(f.Ok(QStringLiteral("gamma"), QStringLiteral("1")));
    QCOMPARE(f.Hosts(), std::vector<std::string>{"alpha:80"});
    QCOMPARE(f.HostsInFile(), std::vector<std::string>{"host0=alpha:80"});
}

// With "localhost:8080" in the history, "localhost" typed with port 80 connects to port 80: the
// history may be offered, never written into the field.
void ConnectDialogTest::typingIsNeverCompletedInPlace() {
    Fixture f({}, {"host0=localhost:8080"});
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QLineEdit *host = f.dialog->HostBox()->lineEdit();
    host->setFocus();
    host->clear();
    QTest::keyClicks(host, QStringLiteral("localhost"));
    QCOMPARE(f.dialog->HostBox()->currentText(), QStringLiteral("localhost"));
    QTest::keyClick(host, Qt::Key_Tab);
    QTest::keyClicks(f.dialog->PortEdit(), QStringLiteral("80"));
    f.dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    QCOMPARE(f.dialog->result(), int(QDialog::Accepted));
    QCOMPARE(f.dialog->Params().host, std::string("localhost"));
    QCOMPARE(f.dialog->Params().port, 80);
}

// An entry brings its proxy into the field; what the field holds at OK goes to the history
// without its password; a proxy that cannot be used is a warning with the field focused.
void ConnectDialogTest::theProxyFieldFollowsTheHistoryAndIsChecked() {
    BoxAnswerer boxes;
    Fixture f({"hostsave=1"},
              {U("host0=alpha:25 (プロキシ socks5h://al@p:1080)").toStdString(), "host1=beta:80"});
    f.dialog->show();
    QLineEdit *proxy = f.dialog->ProxyEdit();
    QCOMPARE(proxy->accessibleName(), U("プロキシ:"));
    QCOMPARE(proxy->text(), QStringLiteral("socks5h://al@p:1080"));
    f.dialog->HostBox()->setCurrentIndex(1);
    QCOMPARE(proxy->text(), QString());

    proxy->setText(QStringLiteral("ftp://p"));
    QVERIFY(!f.Ok(QStringLiteral("gamma:7"), QString()));
    QCOMPARE(boxes.Seen().size(), std::size_t(1));
    QVERIFY(boxes.Seen()[0].text.contains(QStringLiteral("ftp")));
    QCOMPARE(f.dialog->focusWidget(), proxy);

    proxy->setText(QStringLiteral("http://bo:secret@[::1]:3128"));
    QVERIFY(f.Ok(QStringLiteral("gamma:7"), QString()));
    QCOMPARE(f.dialog->Params().proxy, std::string("http://bo:secret@[::1]:3128"));
    QCOMPARE(QString::fromStdString(f.Hosts().front()),
             U("gamma:7 (プロキシ http://bo@[::1]:3128)"));
}

// The password question works by keyboard alone: the field has the focus, Tab reaches the keep
// box, Enter connects; every control is named for the accessibility bus.
void ConnectDialogTest::proxyPasswordByKeyboardAlone() {
    ProxyPasswordQuestion question{"socks5h://alice@p:1080", "alice", "example.org:25"};
    bool checked = false;
    testing::WhenModal<ProxyPasswordDialog>([&](ProxyPasswordDialog *dialog) {
        QLineEdit *password = dialog->PasswordEdit();
        checked = dialog->focusWidget() == password &&
                  password->echoMode() == QLineEdit::Password &&
                  password->accessibleName() == U("パスワード:") &&
                  dialog->KeepBox()->accessibleName() == U("パスワードを保存する") &&
                  dialog->accessibleName() == U("プロキシのパスワード");
        QTest::keyClicks(password, QStringLiteral("s3 cr@t"));
        QTest::keyClick(password, Qt::Key_Tab);
        checked = checked && dialog->focusWidget() == dialog->KeepBox();
        QTest::keyClick(dialog->KeepBox(), Qt::Key_Space);
        QTest::keyClick(password, Qt::Key_Return);
    });
    const ProxyPasswordAnswer answer = AskProxyPassword(nullptr, question);
    QVERIFY(checked);
    QCOMPARE(answer.password, std::optional<std::string>("s3 cr@t"));
    QVERIFY(answer.keep);

    testing::WhenModal<ProxyPasswordDialog>(
        [](ProxyPasswordDialog *dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
    QVERIFY(!AskProxyPassword(nullptr, question).password);
}

// Every control of the TLS dialogs that takes the focus is named for a screen reader.
void ExpectNamedForScreenReaders(QDialog *dialog) {
    for (QWidget *control : dialog->findChildren<QWidget *>()) {
        if (control->focusPolicy() == Qt::NoFocus || !control->isVisibleTo(dialog)) continue;
        const auto *button = qobject_cast<QAbstractButton *>(control);
        if (button == nullptr && qobject_cast<QLineEdit *>(control) == nullptr) continue;
        // A button's own text names it too.
        const bool named = !control->accessibleName().isEmpty() ||
                           (button != nullptr && !button->text().isEmpty());
        QVERIFY2(named, qPrintable(control->objectName()));
    }
}

// The TLS details by keyboard alone: the button's accelerator opens them, each field's label
// reaches it, a list that cannot be sent is refused in place, and Enter takes the rest. They are
// kept with the destination and come back when its history entry is chosen; typing another host
// leaves them as they are.
void ConnectDialogTest::tlsDetailsByKeyboardAndWithTheHistory() {
    BoxAnswerer boxes;
    Fixture f({"hostsave=1"}, {"host0=other.example:25"});
    f.dialog->show();
    f.dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f.dialog.get()));
    f.dialog->HostBox()->setEditText(QStringLiteral("localhost:8443"));
    f.dialog->TlsBox()->setChecked(true);
    bool answered = false;
    testing::WhenModal<TlsDetailsDialog>([&answered, &boxes](TlsDetailsDialog *details) {
        ExpectNamedForScreenReaders(details);
        details->activateWindow();
        QTRY_COMPARE(QApplication::focusWidget(), details->CertificateEdit());
        QTest::keyClicks(details->CertificateEdit(), QStringLiteral("/keys/client.p12"));
        QTest::keyClick(details, Qt::Key_S, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), details->ServerNameEdit());
        details->ServerNameEdit()->insert(U("なし")); // as an input method gives it
        QTest::keyClick(details, Qt::Key_A, Qt::AltModifier);
        QTest::keyClicks(details->AlpnEdit(), QStringLiteral("h2,,http/1.1"));
        QTest::keyClick(details->AlpnEdit(), Qt::Key_Return);
        QVERIFY(details->isVisible());
        QCOMPARE(boxes.Seen().size(), std::size_t(1));
        QCOMPARE(details->focusWidget(), details->AlpnEdit());
        details->activateWindow(); // back from the warning
        QTRY_COMPARE(QApplication::focusWidget(), details->AlpnEdit());
        details->AlpnEdit()->clear();
        QTest::keyClicks(details->AlpnEdit(), QStringLiteral("h2,http/1.1"));
        QTest::keyClick(details->AlpnEdit(), Qt::Key_Return);
        answered = details->result() == QDialog::Accepted;
    });
    // A button's accelerator clicks it once its press has been shown.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_D, Qt::AltModifier);
    QTRY_VERIFY_WITH_TIMEOUT(answered, 5000);
    const TlsDetails expected{"/keys/client.p12", "", "なし", "h2,http/1.1"};
    QCOMPARE(f.dialog->Details(), expected);
    QVERIFY(f.dialog->findChild<QLabel *>(QStringLiteral("tlsDetailsLabel"))
                ->text()
                .contains(QStringLiteral("client.p12")));
    f.dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    QCOMPARE(f.dialog->result(), int(QDialog::Accepted));
    QCOMPARE(f.dialog->Params().tlsDetails, expected);

    // The next dialog opens on the newest entry, this one, with its details.
    ConnectDialog again(nullptr, f.settings, f.file.Path());
    QCOMPARE(again.HostBox()->currentText(), QStringLiteral("localhost:8443 (TLS)"));
    QCOMPARE(again.Details(), expected);
    again.HostBox()->setCurrentIndex(1);
    QVERIFY(again.Details().Empty());
    again.HostBox()->setCurrentIndex(0);
    again.HostBox()->setEditText(QStringLiteral("localhost:9443"));
    QCOMPARE(again.Details(), expected);
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::ConnectDialogTest)
#include "connect_dialog_test.moc"
