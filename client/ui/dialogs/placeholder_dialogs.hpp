// The 送信 menu's dialogs for sends without retyping: the user's variables for "%name%" markers,
// the values of "%?name%" asked at send time, the preview of the exact bytes, and the repeat's
// interval and count. Each is modal (tests drive them with WhenModal) and works by keyboard alone;
// what is allowed is decided in the core (exchange/placeholders.hpp, exchange/repeat.hpp).
#pragma once

#include <QDialog>

#include <optional>
#include <string>
#include <vector>

#include "exchange/repeat.hpp"
#include "session/controller.hpp"
#include "settings/variables.hpp"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace tarvotcpc::ui {

// The variables as a table of name and value. OK refuses a name the placeholders cannot use, or
// one given twice, naming its row, and keeps the dialog open.
class VariablesDialog : public QDialog {
    Q_OBJECT

  public:
    VariablesDialog(QWidget *parent, const Variables &variables);

    QTableWidget *Table() const { return table_; }
    QPushButton *AddButton() const { return add_; }
    QPushButton *RemoveButton() const { return remove_; }
    // The table's rows; rows with neither name nor value are left out.
    Variables Result() const;

  public slots:
    void accept() override;

  private:
    void AddRow(const QString &name, const QString &value);

    QTableWidget *table_;
    QPushButton *add_;
    QPushButton *remove_;
};

// Opens the variables of the settings file at path and writes them back on OK; a file that cannot
// be written is told.
void ExecVariablesDialog(QWidget *parent, const std::string &path);

// One field per "%?name%" of the send, in order.
class PlaceholderValuesDialog : public QDialog {
    Q_OBJECT

  public:
    PlaceholderValuesDialog(QWidget *parent, const std::vector<std::string> &names);
    const std::vector<QLineEdit *> &Fields() const { return fields_; }

  private:
    std::vector<QLineEdit *> fields_;
};

std::optional<std::vector<std::string>> AskPlaceholderValues(QWidget *parent,
                                                             const std::vector<std::string> &names);

// The bytes a send would give, as escaped text and as hex, without sending them.
class SendPreviewDialog : public QDialog {
    Q_OBJECT

  public:
    SendPreviewDialog(QWidget *parent, const SendPreview &preview);
    QPlainTextEdit *TextView() const { return text_; }
    QPlainTextEdit *HexView() const { return hex_; }
    QLabel *Summary() const { return summary_; }

  private:
    QPlainTextEdit *text_;
    QPlainTextEdit *hex_;
    QLabel *summary_;
};

void ShowSendPreview(QWidget *parent, const SendPreview &preview);

// The repeat's interval in milliseconds and its count (0: until stopped).
class RepeatDialog : public QDialog {
    Q_OBJECT

  public:
    RepeatDialog(QWidget *parent, const RepeatParams &initial);
    QSpinBox *IntervalBox() const { return interval_; }
    QSpinBox *CountBox() const { return count_; }
    std::optional<RepeatParams> Params() const;

  private:
    QSpinBox *interval_;
    QSpinBox *count_;
};

} // namespace tarvotcpc::ui
