// The dialogs of the options and the templates. The decisions are client/core's (OptionsSession,
// TemplateInsertionText); these dialogs show them and forward the user's choices.
#pragma once

#include <QString>

#include <optional>
#include <string>

#include "settings/settings.hpp"

class QWidget;

namespace tarvotcpc::ui {

// The options dialog, modal. OK stores the switches and templates in settings and
// in the file at settingsPath; Cancel leaves both as they were. Clearing the host history takes
// effect at once and is not undone by Cancel.
void ExecOptionsDialog(QWidget *parent, SettingsHashes &settings, const std::string &settingsPath);

// The template insertion dialog, modal. The text to append to the send page (line
// breaks as LF), or none when the dialog was cancelled.
std::optional<QString> ExecTemplateInsertDialog(QWidget *parent, const SettingsHashes &settings);

} // namespace tarvotcpc::ui
