// "定型文の追加・編集": one template's name and text. The dialog only collects them; whether they
// are taken is decided by the options dialog's session (through commit), and a refusal is shown
// here as a warning while the dialog stays open.
#pragma once

#include <QDialog>
#include <QValidator>

#include <functional>
#include <string>

#include "settings/templates.hpp"

class QLineEdit;
class QPlainTextEdit;

namespace tarvotcpc::ui {

// Keeps a text within a number of bytes of UTF-8 without splitting a character. What does not fit
// is cut from just before the cursor, that is from the end of what was just typed or pasted, so
// that text already in the field is never lost to an insertion.
class Utf8LengthValidator : public QValidator {
    Q_OBJECT

  public:
    Utf8LengthValidator(std::size_t maxBytes, QObject *parent);
    State validate(QString &input, int &pos) const override;

  private:
    std::size_t maxBytes_;
};

class TemplateEditDialog : public QDialog {
    Q_OBJECT

  public:
    // Takes name and page text (line breaks as LF); returns the warning that refuses them, or ""
    // when they were taken.
    using Commit = std::function<std::string(const std::string &name, const std::string &text)>;

    // draft fills the fields when editing; an add starts empty.
    TemplateEditDialog(QWidget *parent, const TemplateDraft &draft, Commit commit);

    QLineEdit *NameEdit() const { return name_; }
    QPlainTextEdit *TextEdit() const { return text_; }

  public slots:
    void accept() override;

  private:
    Commit commit_;
    QLineEdit *name_;
    QPlainTextEdit *text_;
};

} // namespace tarvotcpc::ui
