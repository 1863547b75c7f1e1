// The template insertion dialog on the real widgets: what OK gives the send page, and when it
// gives nothing.
#include <QTreeWidget>

#include "support/ui_support.hpp"
#include "dialogs/dialogs.hpp"
#include "dialogs/template_insert_dialog.hpp"

namespace tarvotcpc::ui {
namespace {

using testing::Click;
using testing::SettingsFixture;
using testing::WhenModal;

const char kTemplates[] = "[TEMPLATES]\n"
                          "blank=a+b%0d%0ac\n"
                          "bare=x%0ay%0dz\n"
                          "kana=%e3%81%82%25\n";

std::optional<QString> RunInsert(SettingsFixture &fixture,
                                 std::function<void(TemplateInsertDialog *)> script) {
    WhenModal<TemplateInsertDialog>(std::move(script));
    return ExecTemplateInsertDialog(nullptr, fixture.Settings());
}

void SelectRow(TemplateInsertDialog *dialog, int row) {
    dialog->TemplateList()->setCurrentItem(dialog->TemplateList()->topLevelItem(row));
}

class TemplateInsertDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void ListsTheTemplatesWithNothingSelected() {
        SettingsFixture fixture(kTemplates);
        RunInsert(fixture, [](TemplateInsertDialog *dialog) {
            QCOMPARE(dialog->windowTitle(), QString::fromUtf8("定型文の挿入"));
            QTreeWidget *list = dialog->TemplateList();
            QCOMPARE(list->headerItem()->text(0), QString::fromUtf8("定型文"));
            QCOMPARE(list->topLevelItemCount(), 3);
            QCOMPARE(list->topLevelItem(2)->text(0), QStringLiteral("kana"));
            QVERIFY(list->selectedItems().isEmpty());
            Click(dialog, "cancelPushButton");
        });
    }

    void OkGivesTheSelectedTextDecoded_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("text");
        QTest::newRow("blank and CRLF") << 0 << QStringLiteral("a b\nc");
        QTest::newRow("bare CR and LF") << 1 << QStringLiteral("x\ny\nz");
        QTest::newRow("UTF-8 and percent") << 2 << QString::fromUtf8("あ%");
    }
    void OkGivesTheSelectedTextDecoded() {
        QFETCH(int, row);
        QFETCH(QString, text);
        SettingsFixture fixture(kTemplates);
        const std::optional<QString> inserted =
            RunInsert(fixture, [row](TemplateInsertDialog *dialog) {
                SelectRow(dialog, row);
                Click(dialog, "okPushButton");
            });
        QVERIFY(inserted.has_value());
        QCOMPARE(*inserted, text);
    }

    void OkWithoutSelectionStaysOpenCancelGivesNothing() {
        SettingsFixture fixture(kTemplates);
        const std::optional<QString> inserted = RunInsert(fixture, [](TemplateInsertDialog *d) {
            Click(d, "okPushButton");
            QVERIFY(d->isVisible());
            SelectRow(d, 0);
            Click(d, "cancelPushButton");
        });
        QVERIFY(!inserted.has_value());

        SettingsFixture empty("[TEMPLATES]\n");
        QVERIFY(!RunInsert(empty, [](TemplateInsertDialog *dialog) {
                     QCOMPARE(dialog->TemplateList()->topLevelItemCount(), 0);
                     Click(dialog, "okPushButton");
                     QVERIFY(dialog->isVisible());
                     Click(dialog, "cancelPushButton");
                 }).has_value());
    }

    void DoubleClickInsertsThatRow() {
        SettingsFixture fixture(kTemplates);
        const std::optional<QString> inserted = RunInsert(fixture, [](TemplateInsertDialog *d) {
            QTreeWidget *list = d->TemplateList();
            const QRect rect = list->visualItemRect(list->topLevelItem(1));
            // A first click selects, as in any list; the second of a double-click inserts.
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
            QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
        });
        QCOMPARE(inserted.value_or(QString()), QStringLiteral("x\ny\nz"));
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::TemplateInsertDialogTest)
#include "template_insert_dialog_test.moc"
