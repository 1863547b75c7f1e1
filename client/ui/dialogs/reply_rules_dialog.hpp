// The rules of automatic replies: a list of rules and the fields of the one selected (name, how it
// matches, the text or expression, the reply). OK checks the list as client/core says
// (FindReplyRulesProblem) and keeps the dialog open on the first rule that cannot be used.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "exchange/reply_rules.hpp"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace tarvotcpc::ui {

class ReplyRulesDialog : public QDialog {
    Q_OBJECT

  public:
    ReplyRulesDialog(QWidget *parent, std::vector<ReplyRule> rules);

    const std::vector<ReplyRule> &Rules() const { return rules_; }

    QListWidget *List() const { return list_; }
    QLineEdit *NameEdit() const { return name_; }
    QComboBox *MatchBox() const { return match_; }
    QLineEdit *PatternEdit() const { return pattern_; }
    QPlainTextEdit *ReplyEdit() const { return reply_; }
    QLabel *ProblemLabel() const { return problem_; }

    void accept() override;

  private:
    void Add();
    void Remove();
    void Select(int row);
    void Store();
    void ShowFields();

    std::vector<ReplyRule> rules_;
    int row_ = -1;
    bool showing_ = false; // the fields are being filled from the list, not edited
    QListWidget *list_;
    QLineEdit *name_;
    QComboBox *match_;
    QLineEdit *pattern_;
    QPlainTextEdit *reply_;
    QPushButton *remove_;
    QLabel *problem_;
};

// The dialog over the rules of the settings file at path; OK writes them back. Whether the rules
// were written (a failure is shown first).
bool ExecReplyRulesDialog(QWidget *parent, const std::string &path);

} // namespace tarvotcpc::ui
