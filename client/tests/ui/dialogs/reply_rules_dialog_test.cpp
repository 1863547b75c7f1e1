// The automatic replies' rules dialog on the real widgets: a rule made and fixed by keyboard
// alone, every control named for the accessibility bus, and the rules as the settings file keeps
// them, an entry no rule can be read from left in place.
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>

#include <fstream>

#include "dialogs/reply_rules_dialog.hpp"
#include "session/reply_settings.hpp"
#include "settings/ini.hpp"
#include "support/ui_support.hpp"

namespace tarvotcpc::ui {
namespace {

using testing::SettingsFile;
using testing::WhenModal;

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

class ReplyRulesDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void aRuleIsMadeAndFixedByKeyboardAlone();
    void everyControlHasAName();
    void theSettingsFileKeepsTheRules();
};

void ReplyRulesDialogTest::aRuleIsMadeAndFixedByKeyboardAlone() {
    ReplyRulesDialog dialog(nullptr, {});
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    const auto focus = [&dialog] { return dialog.focusWidget(); };

    // A button's accelerator clicks it as it is let go, a moment later.
    QTest::keyClick(&dialog, Qt::Key_A, Qt::AltModifier); // 追加
    QTRY_COMPARE(dialog.List()->count(), 1);
    QTRY_COMPARE(focus(), dialog.NameEdit());
    QCOMPARE(dialog.NameEdit()->text(), U("規則1"));
    QTest::keyClicks(focus(), QStringLiteral("ping"));
    QTest::keyClick(focus(), Qt::Key_Tab);
    QCOMPARE(focus(), dialog.MatchBox());
    QTest::keyClick(focus(), Qt::Key_Down);
    QTest::keyClick(focus(), Qt::Key_Down);
    QCOMPARE(dialog.MatchBox()->currentText(), U("正規表現"));
    QTest::keyClick(focus(), Qt::Key_Tab);
    QCOMPARE(focus(), dialog.PatternEdit());
    QTest::keyClicks(focus(), QStringLiteral("PING (\\w+"));
    QTest::keyClick(focus(), Qt::Key_Tab);
    QCOMPARE(focus(), dialog.ReplyEdit());
    QTest::keyClicks(focus(), QStringLiteral("PONG %1%"));
    QTest::keyClick(focus(), Qt::Key_Return);
    QTest::keyClicks(focus(), QStringLiteral("."));

    // OK by Enter from the name: the expression does not compile, the dialog stays with its place.
    QTest::keyClick(&dialog, Qt::Key_N, Qt::AltModifier);
    QCOMPARE(focus(), dialog.NameEdit());
    QTest::keyClick(focus(), Qt::Key_Return);
    QVERIFY(dialog.isVisible());
    QVERIFY2(dialog.ProblemLabel()->text().contains(U("バイト目に誤りがあります")),
             qPrintable(dialog.ProblemLabel()->text()));
    QCOMPARE(focus(), dialog.PatternEdit());
    QTest::keyClick(focus(), Qt::Key_End);
    QTest::keyClicks(focus(), QStringLiteral(")"));
    QTest::keyClick(&dialog, Qt::Key_N, Qt::AltModifier);
    QTest::keyClick(focus(), Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const std::vector<ReplyRule> expected = {
        {"ping", ReplyMatch::Regex, "PING (\\w+)", "PONG %1%\n."}};
    QCOMPARE(dialog.Rules(), expected);
}

void ReplyRulesDialogTest::everyControlHasAName() {
    ReplyRulesDialog dialog(nullptr, {{"a", ReplyMatch::Contains, "x", "y"}});
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    int named = 0;
    for (QWidget *widget : dialog.findChildren<QWidget *>()) {
        if (!widget->isVisible() || widget->focusPolicy() == Qt::NoFocus) continue;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(accessible != nullptr);
        QVERIFY2(!accessible->text(QAccessible::Name).isEmpty(), qPrintable(widget->objectName()));
        ++named;
    }
    QVERIFY(named >= 8); // list, add, remove, four fields, OK, cancel
}

void ReplyRulesDialogTest::theSettingsFileKeepsTheRules() {
    SettingsFile settings;
    {
        std::ofstream(settings.Path(), std::ios::app)
            << "[AUTOREPLY]\nold=contains,a,b\nhand written\n";
    }
    WhenModal<ReplyRulesDialog>([](ReplyRulesDialog *dialog) {
        QCOMPARE(dialog->List()->count(), 1);
        QCOMPARE(dialog->PatternEdit()->text(), QStringLiteral("a"));
        dialog->findChild<QPushButton *>(QStringLiteral("addPushButton"))->click();
        dialog->PatternEdit()->setText(U("日本"));
        emit dialog->PatternEdit()->textEdited(dialog->PatternEdit()->text());
        dialog->ReplyEdit()->setPlainText(U("%0%!\n"));
        dialog->findChild<QPushButton *>(QStringLiteral("okPushButton"))->click();
    });
    QVERIFY(ExecReplyRulesDialog(nullptr, settings.Path()));
    const StoredReplyRules stored = LoadReplyRules(settings.Path());
    const std::vector<ReplyRule> expected = {{"old", ReplyMatch::Contains, "a", "b"},
                                             {"規則1", ReplyMatch::Contains, "日本", "%0%!\n"}};
    QCOMPARE(stored.rules, expected);
    QCOMPARE(stored.unreadable, std::size_t(1));
    std::string text;
    QVERIFY(ReadWholeFile(settings.Path(), text));
    // The other sections and the entry that is no rule stay as they were.
    QVERIFY(text.find("[TARVOTCPC]\n[HOSTS]\n[TEMPLATES]\n") == 0);
    QCOMPARE(IniSectionEntries(text, "AUTOREPLY").back(), std::string("hand written"));
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::ReplyRulesDialogTest)
#include "reply_rules_dialog_test.moc"
