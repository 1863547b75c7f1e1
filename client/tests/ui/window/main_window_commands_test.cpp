// Commands 102, 103 and 106 from the main window's own menu: the dialogs work on the window's
// settings and their text lands at the end of its send page.
#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QWindow>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>

#include "window/application.hpp"
#include "common/dialog_seam.hpp"
#include "support/ui_support.hpp"
#include "window/main_window.hpp"
#include "dialogs/options_dialog.hpp"
#include "dialogs/template_edit_dialog.hpp"
#include "dialogs/template_insert_dialog.hpp"

namespace tarvotcpc::ui {
namespace {

using tarvotcpc::testing::TempDir;
using tarvotcpc::testing::WriteFile;
using testing::Click;
using testing::WhenModal;

class MainWindowCommandsTest : public QObject {
    Q_OBJECT

  private slots:
    void TemplatesAndFilesGoToTheEndOfTheSendPage() {
        TempDir dir;
        const std::string settings = dir.Path("tarvotcpc.ini");
        WriteFile(settings, "[TEMPLATES]\nping=PING%0d%0a\n");
        WriteFile(dir.Path("body.txt"), "line 1\r\nline 2\r\n");
        MainWindow window(settings);
        window.show();
        window.SendEdit()->setPlainText(QStringLiteral("start\n"));

        // A template added through the options dialog is there for insertion at once.
        WhenModal<OptionsDialog>([](OptionsDialog *options) {
            WhenModal<TemplateEditDialog>([](TemplateEditDialog *editor) {
                editor->NameEdit()->setText(QStringLiteral("quit"));
                editor->TextEdit()->setPlainText(QStringLiteral("QUIT\n"));
                Click(editor, "okPushButton");
            });
            Click(options, "addPushButton");
            Click(options, "okPushButton");
        });
        window.Commands().Action(Command::Options)->trigger();

        WhenModal<TemplateInsertDialog>([](TemplateInsertDialog *insert) {
            QTreeWidget *list = insert->TemplateList();
            QCOMPARE(list->topLevelItemCount(), 2);
            list->setCurrentItem(list->topLevelItem(1));
            Click(insert, "okPushButton");
        });
        window.Commands().Action(Command::InsertTemplate)->trigger();
        QCOMPARE(window.SendEdit()->toPlainText(), QStringLiteral("start\nQUIT\n"));

        const QString body = QString::fromStdString(dir.Path("body.txt"));
        SetFileDialogObserver([body](QFileDialog *dialog) {
            QTimer::singleShot(0, dialog, [dialog, body] {
                dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(body);
                QMetaObject::invokeMethod(dialog, "accept");
            });
        });
        window.Commands().Action(Command::LoadFile)->trigger();
        SetFileDialogObserver({});
        QTRY_COMPARE_WITH_TIMEOUT(window.SendEdit()->toPlainText(),
                                  QStringLiteral("start\nQUIT\nline 1\nline 2\n"), 10000);
        QCOMPARE(window.Tabs()->currentIndex(), 0);
    }

    // Set up as the program is: Qt's own texts are Japanese whatever the locale, and titles are
    // exactly the window's own (a display name would be added to each under X11).
    void QtTextsAreJapaneseAndTitlesExact() {
        SetUpApplication();
        QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());

        TempDir dir;
        MainWindow window(dir.Path("tarvotcpc.ini"));
        window.show();
        QStringList seen;
        SetFileDialogObserver([&seen](QFileDialog *dialog) {
            QTimer::singleShot(0, dialog, [dialog, &seen] {
                for (const char *name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"})
                    seen << dialog->findChild<QLabel *>(QString::fromLatin1(name))->text();
                for (QPushButton *button : dialog->findChildren<QPushButton *>())
                    seen << button->text();
                seen << dialog->windowHandle()->title();
                dialog->reject();
            });
        });
        window.Commands().Action(Command::LoadFile)->trigger();
        SetFileDialogObserver({});
        std::unique_ptr<QMenu> menu(window.SendEdit()->createStandardContextMenu());
        for (QAction *action : menu->actions())
            if (!action->isSeparator()) seen << action->text();
        QVERIFY(seen.size() > 8);
        for (const QString &text : seen) {
            bool english = false;
            for (const char *word : {"Look", "File", "Open", "Cancel", "Undo", "Copy", "Paste"})
                english = english || text.contains(QString::fromLatin1(word));
            QVERIFY2(!english, qPrintable(text));
        }

        WhenModal<OptionsDialog>([](OptionsDialog *options) {
            QCOMPARE(options->windowHandle()->title(), QString::fromUtf8("オプション"));
            Click(options, "cancelPushButton");
        });
        window.Commands().Action(Command::Options)->trigger();
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::MainWindowCommandsTest)
#include "main_window_commands_test.moc"
