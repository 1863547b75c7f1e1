// The options dialog and the template editor, driven as the user drives them; every change is
// checked in memory and in what the next start reads from the settings file.
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include "support/ui_support.hpp"
#include "common/dialog_seam.hpp"
#include "dialogs/dialogs.hpp"
#include "dialogs/options_dialog.hpp"
#include "dialogs/template_edit_dialog.hpp"
#include "settings/options.hpp"
#include "settings/templates.hpp"

namespace tarvotcpc::ui {
namespace {

using testing::BoxAnswerer;
using testing::Child;
using testing::Click;
using testing::Entries;
using testing::EntriesOf;
using testing::SettingsFixture;
using testing::WhenModal;

QString Text(const char *utf8) {
    return QString::fromUtf8(utf8);
}

const char kStartFile[] = "[TARVOTCPC]\n"
                          "hostsave=1\n"
                          "consend=0\n"
                          "[HOSTS]\n"
                          "host0=example.org:80\n"
                          "host1=localhost:6379\n"
                          "[TEMPLATES]\n"
                          "get=GET+%2f+HTTP%2f1.0%0d%0a%0d%0a\n"
                          "ping=PING%0d%0a\n"
                          "quit=QUIT%0d%0a\n";

// Opens the options dialog on fixture and runs script on it; script ends it.
void RunOptions(SettingsFixture &fixture, std::function<void(OptionsDialog *)> script) {
    WhenModal<OptionsDialog>(std::move(script));
    ExecOptionsDialog(nullptr, fixture.Settings(), fixture.Path());
}

// Presses the button that opens the editor, with script run on the editor.
void WithEditor(OptionsDialog *dialog, const char *button,
                std::function<void(TemplateEditDialog *)> script) {
    WhenModal<TemplateEditDialog>(std::move(script));
    Click(dialog, button);
}

void Fill(TemplateEditDialog *editor, const QString &name, const QString &text) {
    editor->NameEdit()->setText(name);
    editor->TextEdit()->setPlainText(text);
}

QStringList Rows(QTreeWidget *list) {
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        rows << list->topLevelItem(i)->text(0);
    return rows;
}

void SelectRow(QTreeWidget *list, int row) {
    list->setCurrentItem(list->topLevelItem(row));
}

class OptionsDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void ShowsTheSwitchesAndTemplatesItOpensOn() {
        SettingsFixture fixture(kStartFile);
        RunOptions(fixture, [](OptionsDialog *dialog) {
            QCOMPARE(dialog->windowTitle(), Text("オプション"));
            QVERIFY(Child<QCheckBox>(dialog, "hostSaveCheckBox")->isChecked());
            QVERIFY(!Child<QCheckBox>(dialog, "conSendCheckBox")->isChecked());
            QVERIFY(!Child<QCheckBox>(dialog, "conReClearCheckBox")->isChecked()); // absent = off
            QCOMPARE(Child<QCheckBox>(dialog, "conSenClearCheckBox")->text(),
                     Text("送信時に送信データをクリア"));
            QTreeWidget *list = dialog->TemplateList();
            QCOMPARE(list->columnCount(), 1);
            QCOMPARE(list->headerItem()->text(0), Text("定型文"));
            QVERIFY(!list->header()->sectionsClickable());
            QCOMPARE(Rows(list), QStringList({"get", "ping", "quit"}));
            QVERIFY(list->selectedItems().isEmpty());
            for (QWidget *control : dialog->findChildren<QWidget *>()) {
                if (qobject_cast<QAbstractButton *>(control) || control == list)
                    QVERIFY2(!control->accessibleName().isEmpty(),
                             qPrintable(control->objectName()));
            }
            Click(dialog, "cancelPushButton");
        });
    }

    void OkStoresTheSwitchesCancelDoesNot() {
        SettingsFixture fixture(kStartFile);
        const std::string before = fixture.FileBytes();
        RunOptions(fixture, [](OptionsDialog *dialog) {
            Child<QCheckBox>(dialog, "hostSaveCheckBox")->setChecked(false);
            Child<QCheckBox>(dialog, "conSendCheckBox")->setChecked(true);
            Click(dialog, "cancelPushButton");
        });
        QCOMPARE(ReadOption(fixture.Settings(), OptionKey(Option::HostSave)), 1);
        QCOMPARE(ReadOption(fixture.Settings(), OptionKey(Option::ConSend)), 0);
        QCOMPARE(fixture.FileBytes(), before);

        RunOptions(fixture, [](OptionsDialog *dialog) {
            Child<QCheckBox>(dialog, "hostSaveCheckBox")->setChecked(false);
            Child<QCheckBox>(dialog, "conSendCheckBox")->setChecked(true);
            Child<QCheckBox>(dialog, "conReClearCheckBox")->setChecked(true);
            Child<QCheckBox>(dialog, "sendEscapesCheckBox")->setChecked(true);
            auto *encoding = Child<QComboBox>(dialog, "sendEncodingComboBox");
            QCOMPARE(encoding->currentText(), Text("表示と同じ")); // an earlier file: the default
            QCOMPARE(encoding->count(), int(kEncodingCount) + 1);  // every encoding, or the view's
            encoding->setCurrentIndex(encoding->findText("Shift_JIS"));
            auto *ending = Child<QComboBox>(dialog, "sendLineEndingComboBox");
            QCOMPARE(ending->currentText(), Text("CR+LF"));
            ending->setCurrentIndex(ending->findText("LF"));
            QVERIFY(Child<QLineEdit>(dialog, "logFolderLineEdit")->text().isEmpty());
            auto *proxy = Child<QLineEdit>(dialog, "proxyLineEdit");
            QVERIFY(proxy->accessibleName().startsWith(Text("プロキシ")));
            proxy->setText(QStringLiteral("socks5h://p:1080"));
            Click(dialog, "okPushButton");
        });
        const Entries expected{{"hostsave", "0"},
                               {"consend", "1"},
                               {"conreclear", "1"},
                               {"consenclear", "0"},
                               {"sendencoding", "shift_jis"},
                               {"sendlineending", "lf"},
                               {"sendescapes", "1"},
                               {"logfolder", ""},
                               {"keeplisten", "0"},
                               {"proxy", "socks5h://p:1080"},
                               {"viewencoding", "utf-8"},
                               {"viewmode", "text"},
                               {"viewlineends", "0"},
                               {"viewtimes", "0"},
                               {"viewsent", "0"},
                               {"viewautodetect", "0"},
                               {"placeholders", "0"},
                               {"repeatinterval", "1000"},
                               {"repeatcount", "10"},
                               {"viewprotocol", "none"},
                               {"keylogfile", ""}};
        QCOMPARE(EntriesOf(fixture.Settings().options), expected);
        QCOMPARE(fixture.Reload().options, expected);
        QCOMPARE(fixture.Reload().templates.size(), std::size_t{3});

        // The next opening shows what is stored; the folder comes from the browse button.
        tarvotcpc::testing::TempDir logs;
        const QString folder = QString::fromStdString(logs.Path());
        testing::FileDialogAnswerer answer(folder, [](QFileDialog *files) {
            QCOMPARE(files->fileMode(), QFileDialog::Directory);
        });
        RunOptions(fixture, [](OptionsDialog *dialog) {
            QCOMPARE(Child<QComboBox>(dialog, "sendEncodingComboBox")->currentText(),
                     Text("Shift_JIS"));
            QCOMPARE(Child<QComboBox>(dialog, "sendLineEndingComboBox")->currentText(), Text("LF"));
            QVERIFY(Child<QCheckBox>(dialog, "sendEscapesCheckBox")->isChecked());
            Click(dialog, "logFolderBrowsePushButton");
            Click(dialog, "okPushButton");
        });
        QCOMPARE(answer.shown, 1);
        const OptionValues values = ReadOptions(fixture.Settings());
        QCOMPARE(QString::fromStdString(values.Text(Option::LogFolder)), folder);
        QCOMPARE(fixture.Reload().options[7],
                 (std::pair<std::string, std::string>("logfolder", folder.toStdString())));

        // The key log is a file, and one not there yet may be named: lines are appended to it.
        const QString keys = QString::fromStdString(logs.Path("keys.log"));
        testing::FileDialogAnswerer keyLog(keys, [](QFileDialog *files) {
            QCOMPARE(files->acceptMode(), QFileDialog::AcceptSave);
            QVERIFY(files->testOption(QFileDialog::DontConfirmOverwrite));
        });
        RunOptions(fixture, [](OptionsDialog *dialog) {
            Click(dialog, "keyLogFileBrowsePushButton");
            Click(dialog, "okPushButton");
        });
        QCOMPARE(keyLog.shown, 1);
        QCOMPARE(QString::fromStdString(ReadOptions(fixture.Settings()).Text(Option::KeyLogFile)),
                 keys);
    }

    // A folder typed with blanks at its ends is kept trimmed; one the settings file cannot hold
    // is refused naming the field, the dialog staying open. Either way no other option is lost.
    void FolderValuesAreTrimmedOrRefusedAndNoOptionIsLost() {
        SettingsFixture fixture(kStartFile);
        BoxAnswerer boxes;
        RunOptions(fixture, [](OptionsDialog *dialog) {
            Child<QCheckBox>(dialog, "conSendCheckBox")->setChecked(true);
            Child<QLineEdit>(dialog, "logFolderLineEdit")->setText("/tmp/logs ");
            Click(dialog, "okPushButton");
        });
        QCOMPARE(boxes.Seen().size(), std::size_t{0});
        const auto option = [&](const char *key) {
            for (const auto &[k, v] : fixture.Reload().options)
                if (k == key) return v;
            return std::string("(none)");
        };
        QCOMPARE(option("consend"), std::string("1"));
        QCOMPARE(option("logfolder"), std::string("/tmp/logs"));

        RunOptions(fixture, [](OptionsDialog *dialog) {
            Child<QCheckBox>(dialog, "conReClearCheckBox")->setChecked(true);
            auto *folder = Child<QLineEdit>(dialog, "logFolderLineEdit");
            folder->setText(Text("/tmp/a\nb"));
            Click(dialog, "okPushButton");
            QVERIFY(dialog->isVisible());
            QCOMPARE(dialog->focusWidget(), folder);
            folder->setText("/tmp/other");
            Click(dialog, "okPushButton");
        });
        QCOMPARE(boxes.Seen().size(), std::size_t{1});
        QCOMPARE(boxes.Seen()[0].text,
                 Text("ログの保存先に使えない文字 (改行またはNUL) が含まれています"));
        QCOMPARE(boxes.Seen()[0].icon, QMessageBox::Warning);
        QCOMPARE(option("conreclear"), std::string("1"));
        QCOMPARE(option("consend"), std::string("1"));
        QCOMPARE(option("logfolder"), std::string("/tmp/other"));
    }

    void AddEditRenameAndDeleteReachMemoryAndFile() {
        SettingsFixture fixture(kStartFile);
        BoxAnswerer boxes;
        RunOptions(fixture, [](OptionsDialog *dialog) {
            QTreeWidget *list = dialog->TemplateList();
            WithEditor(dialog, "addPushButton", [](TemplateEditDialog *editor) {
                QCOMPARE(editor->windowTitle(), Text("定型文の追加・編集"));
                QVERIFY(editor->NameEdit()->text().isEmpty());
                QVERIFY(editor->TextEdit()->toPlainText().isEmpty());
                Fill(editor, Text("挨拶"), Text("こんにちは 世界\nline 2"));
                Click(editor, "okPushButton");
            });
            QCOMPARE(Rows(list), QStringList({"get", "ping", Text("quit"), Text("挨拶")}));
            QCOMPARE(list->currentItem()->text(0), Text("挨拶"));

            // Editing shows the text decoded, line breaks and all.
            SelectRow(list, 1);
            WithEditor(dialog, "editPushButton", [](TemplateEditDialog *editor) {
                QCOMPARE(editor->NameEdit()->text(), Text("ping"));
                QCOMPARE(editor->TextEdit()->toPlainText(), Text("PING\n"));
                Fill(editor, Text("ping"), Text("PING\nPING\n"));
                Click(editor, "okPushButton");
            });
            SelectRow(list, 0);
            WithEditor(dialog, "editPushButton", [](TemplateEditDialog *editor) {
                QCOMPARE(editor->TextEdit()->toPlainText(), Text("GET / HTTP/1.0\n\n"));
                editor->NameEdit()->setText(Text("http get"));
                Click(editor, "okPushButton");
            });
            QCOMPARE(Rows(list), QStringList({"http get", "ping", "quit", Text("挨拶")}));

            SelectRow(list, 2);
            Click(dialog, "deletePushButton");
            QCOMPARE(Rows(list), QStringList({"http get", "ping", Text("挨拶")}));
            Click(dialog, "okPushButton");
        });
        const Entries expected{{"http get", "GET+%2f+HTTP%2f1.0%0d%0a%0d%0a"},
                               {"ping", "PING%0d%0aPING%0d%0a"},
                               {"挨拶", "%e3%81%93%e3%82%93%e3%81%ab%e3%81%a1%e3%81%af+"
                                        "%e4%b8%96%e7%95%8c%0d%0aline+2"}};
        QCOMPARE(EntriesOf(fixture.Settings().templates), expected);
        QCOMPARE(fixture.Reload().templates, expected);
        QCOMPARE(fixture.Reload().hosts.size(), std::size_t{2});
        QVERIFY(boxes.Seen().empty());
    }

    void CancelDropsEveryTemplateChange() {
        SettingsFixture fixture(kStartFile);
        const Entries before = EntriesOf(fixture.Settings().templates);
        const std::string file = fixture.FileBytes();
        RunOptions(fixture, [](OptionsDialog *dialog) {
            QTreeWidget *list = dialog->TemplateList();
            WithEditor(dialog, "addPushButton", [](TemplateEditDialog *editor) {
                Fill(editor, "new", "text");
                Click(editor, "okPushButton");
            });
            SelectRow(list, 0);
            WithEditor(dialog, "editPushButton", [](TemplateEditDialog *editor) {
                Fill(editor, "renamed", "changed");
                Click(editor, "okPushButton");
            });
            SelectRow(list, 1);
            Click(dialog, "deletePushButton");
            QCOMPARE(Rows(list), QStringList({"renamed", "quit", "new"}));
            Click(dialog, "cancelPushButton");
        });
        QCOMPARE(EntriesOf(fixture.Settings().templates), before);
        QCOMPARE(fixture.FileBytes(), file);

        // The next opening starts again from what is stored.
        RunOptions(fixture, [](OptionsDialog *dialog) {
            QCOMPARE(Rows(dialog->TemplateList()), QStringList({"get", "ping", "quit"}));
            Click(dialog, "cancelPushButton");
        });
    }

    void EditorCancelAndMissingSelectionChangeNothing() {
        SettingsFixture fixture(kStartFile);
        RunOptions(fixture, [](OptionsDialog *dialog) {
            QTreeWidget *list = dialog->TemplateList();
            SelectRow(list, 2);
            WithEditor(dialog, "editPushButton", [](TemplateEditDialog *editor) {
                Fill(editor, "other", "other text");
                Click(editor, "cancelPushButton");
            });
            WithEditor(dialog, "addPushButton", [](TemplateEditDialog *editor) {
                Fill(editor, "added", "x");
                Click(editor, "cancelPushButton");
            });
            QCOMPARE(Rows(list), QStringList({"get", "ping", "quit"}));

            // No row selected: neither edit nor delete does anything (no editor comes up).
            list->clearSelection();
            Click(dialog, "editPushButton");
            QCOMPARE(QApplication::activeModalWidget(), dialog);
            Click(dialog, "deletePushButton");
            QCOMPARE(Rows(list), QStringList({"get", "ping", "quit"}));
            Click(dialog, "okPushButton");
        });
        QCOMPARE(fixture.Reload().templates, (Entries{{"get", "GET+%2f+HTTP%2f1.0%0d%0a%0d%0a"},
                                                      {"ping", "PING%0d%0a"},
                                                      {"quit", "QUIT%0d%0a"}}));
    }

    void RefusedNamesWarnAndKeepTheEditorOpen() {
        SettingsFixture fixture(kStartFile);
        BoxAnswerer boxes;
        RunOptions(fixture, [](OptionsDialog *dialog) {
            WithEditor(dialog, "addPushButton", [](TemplateEditDialog *editor) {
                Fill(editor, "   ", "text");
                Click(editor, "okPushButton");
                QVERIFY(editor->isVisible());
                QCOMPARE(editor->TextEdit()->toPlainText(), Text("text"));
                editor->NameEdit()->setText("ping"); // an add under an existing name replaces
                Click(editor, "okPushButton");
            });
            QCOMPARE(Rows(dialog->TemplateList()), QStringList({"get", "ping", "quit"}));
            QCOMPARE(dialog->TemplateList()->currentItem()->text(0), Text("ping"));

            SelectRow(dialog->TemplateList(), 0);
            WithEditor(dialog, "editPushButton", [](TemplateEditDialog *editor) {
                editor->NameEdit()->setText("quit");
                Click(editor, "okPushButton");
                QVERIFY(editor->isVisible());
                editor->NameEdit()->setText("a=b");
                Click(editor, "okPushButton");
                QVERIFY(editor->isVisible());
                Click(editor, "cancelPushButton");
            });
            Click(dialog, "okPushButton");
        });
        QCOMPARE(boxes.Seen().size(), std::size_t{3});
        QCOMPARE(boxes.Seen()[0].text, Text(kMissingTemplateNameText));
        QCOMPARE(boxes.Seen()[0].text, Text("定型文名を入力してください"));
        QCOMPARE(boxes.Seen()[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.Seen()[0].title, QStringLiteral(" ")); // blank, not the program name
        QCOMPARE(boxes.Seen()[1].text, Text(kDuplicateTemplateNameText));
        QCOMPARE(boxes.Seen()[2].text, Text(kUnusableTemplateNameText));
        QCOMPARE(fixture.Reload().templates, (Entries{{"get", "GET+%2f+HTTP%2f1.0%0d%0a%0d%0a"},
                                                      {"ping", "text"},
                                                      {"quit", "QUIT%0d%0a"}}));
    }

    void NameFieldTakesAtMost63BytesOfWholeCharacters() {
        const TemplateDraft none;
        TemplateEditDialog editor(
            nullptr, none, [](const std::string &, const std::string &) { return std::string(); });
        QLineEdit *name = editor.NameEdit();
        name->setFocus();
        QTest::keyClicks(name, QString(70, QLatin1Char('a')));
        QCOMPARE(name->text(), QString(63, QLatin1Char('a')));

        // Typing at the start of a full field takes nothing and loses nothing.
        name->setCursorPosition(0);
        QTest::keyClicks(name, "bc");
        QCOMPARE(name->text(), QString(63, QLatin1Char('a')));

        // Three-byte characters: "x" and 20 of them fill 61 bytes, the 21st would not fit.
        name->setText(QString());
        name->insert(QStringLiteral("x") + QString(22, QChar(0x3042)));
        QCOMPARE(name->text(), QStringLiteral("x") + QString(20, QChar(0x3042)));

        // A pasted run is cut at its own end; what follows the cursor stays.
        name->setText(QStringLiteral("[]"));
        name->setCursorPosition(1);
        name->insert(QString(40, QChar(0x00e9))); // two bytes each
        QCOMPARE(name->text(),
                 QStringLiteral("[") + QString(30, QChar(0x00e9)) + QStringLiteral("]"));

        // A four-byte character is never split: 59 bytes and one more leave 63 exactly.
        const QString emoji = QString::fromUcs4(U"\U0001F600");
        name->setText(QString(59, QLatin1Char('y')) + emoji + emoji);
        QCOMPARE(name->text(), QString(59, QLatin1Char('y')) + emoji);
        QCOMPARE(name->text().toUtf8().size(), 63);
    }

    void LongTextsFullOfEscapesRoundTripWhole() {
        SettingsFixture fixture(kStartFile);
        QString text;
        const QString pieces = Text("%+&=;# \n\t\"あ\\");
        while (text.size() < 1023)
            text += pieces[text.size() % pieces.size()];
        QCOMPARE(text.size(), 1023);
        RunOptions(fixture, [&text](OptionsDialog *dialog) {
            WithEditor(dialog, "addPushButton", [&text](TemplateEditDialog *editor) {
                Fill(editor, "long", text);
                Click(editor, "okPushButton");
            });
            Click(dialog, "okPushButton");
        });
        const Entries stored = fixture.Reload().templates;
        QCOMPARE(stored.size(), std::size_t{4});
        QCOMPARE(stored[3].first, std::string("long"));
        QVERIFY(stored[3].second.size() > 1024);
        QCOMPARE(QString::fromStdString(DecodeTemplateText(stored[3].second.c_str())), text);

        // Opening it again for editing shows it whole.
        RunOptions(fixture, [&text](OptionsDialog *dialog) {
            SelectRow(dialog->TemplateList(), 3);
            WithEditor(dialog, "editPushButton", [&text](TemplateEditDialog *editor) {
                QCOMPARE(editor->TextEdit()->toPlainText(), text);
                Click(editor, "cancelPushButton");
            });
            Click(dialog, "cancelPushButton");
        });
    }

    void ClearingHostsAsksAndHoldsThroughCancel() {
        SettingsFixture fixture(kStartFile);
        {
            BoxAnswerer boxes({QMessageBox::No});
            RunOptions(fixture, [](OptionsDialog *dialog) {
                Click(dialog, "clearHostsPushButton");
                Click(dialog, "okPushButton");
            });
            QCOMPARE(boxes.Seen().size(), std::size_t{1});
            QCOMPARE(boxes.Seen()[0].text, Text("接続先ホストをクリアします\nよろしいですか?"));
            QCOMPARE(boxes.Seen()[0].title, Text("TARVO TCP/IP CLIENT"));
            QCOMPARE(boxes.Seen()[0].icon, QMessageBox::Information);
            QCOMPARE(fixture.Reload().hosts.size(), std::size_t{2});
            QCOMPARE(EntriesOf(fixture.Settings().hosts).size(), std::size_t{2});
        }
        BoxAnswerer boxes({QMessageBox::Yes, QMessageBox::Ok});
        RunOptions(fixture, [](OptionsDialog *dialog) {
            Click(dialog, "clearHostsPushButton");
            Click(dialog, "cancelPushButton");
        });
        QCOMPARE(boxes.Seen().size(), std::size_t{2});
        QCOMPARE(boxes.Seen()[1].text, Text("接続先ホストをクリアしました"));
        QCOMPARE(boxes.Seen()[1].title, Text("TARVO TCP/IP CLIENT"));
        QCOMPARE(boxes.Seen()[1].icon, QMessageBox::Information);
        QVERIFY(EntriesOf(fixture.Settings().hosts).empty());
        const SettingsFixture::Reloaded reloaded = fixture.Reload();
        QVERIFY(reloaded.hosts.empty());
        QCOMPARE(reloaded.templates.size(), std::size_t{3});
        QCOMPARE(reloaded.options.size(), kOptionCount); // as the first opening's OK wrote them
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::OptionsDialogTest)
#include "options_dialog_test.moc"
