// Names the user types into the load-file dialog.
#pragma once

#include <string>

namespace tarvotcpc {

inline constexpr char kDefaultExtension[] = "txt";

// The file a typed name means: a name without an extension means the ".txt" file of that name when
// one exists (the dialog's default extension), otherwise the name as typed, so that a file without
// a dot (README) still opens.
std::string WithDefaultExtension(const std::string &path);

} // namespace tarvotcpc
