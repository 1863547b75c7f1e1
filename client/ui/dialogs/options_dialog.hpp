// "オプション": the options of kOptionTable (a check box, combo box or folder field per row),
// clearing the destination history, and the templates. Template changes go to the session's
// private copy; only OK stores them (and the options) in memory and in the settings file.
#pragma once

#include <QDialog>

#include <array>
#include <string>

#include "settings/settings.hpp"
#include "settings/options_session.hpp"

class QPushButton;
class QTreeWidget;

namespace tarvotcpc::ui {

class OptionsDialog : public QDialog {
    Q_OBJECT

  public:
    OptionsDialog(QWidget *parent, SettingsHashes &settings, const std::string &settingsPath);

    QTreeWidget *TemplateList() const { return list_; }

  public slots:
    void accept() override;

  private slots:
    void ClearHosts();
    void AddTemplate();
    void EditTemplate();
    void DeleteTemplate();
    void BrowseFolder(Option option);
    // A file to append to (the TLS key log): one that does not exist yet may be named.
    void BrowseFile(Option option);

  private:
    // Row i shows name i of the copy; the row at select (if any) is selected afterwards.
    void FillList(int select);
    int SelectedRow() const;

    SettingsHashes &settings_;
    std::string settingsPath_;
    OptionsSession session_;
    QWidget *AddOptionRow(const OptionRow &row);
    OptionValues Chosen() const;

    std::array<QWidget *, kOptionCount> controls_{}; // in kOptionTable's order
    QTreeWidget *list_;
};

} // namespace tarvotcpc::ui
