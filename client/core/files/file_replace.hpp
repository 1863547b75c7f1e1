// Replacing a user's file with a new one written beside it (the settings file, saves): where the
// new file must go, and the permissions it must keep, so that a file kept elsewhere behind a
// symbolic link stays there and a private file stays private.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tarvotcpc {

// The file a replacement renames over: path itself, or the file its symbolic links lead to, each
// link followed in turn (a relative one from the link's own folder), also when that file does not
// exist yet. A chain of links too long to follow gives path, so that the error comes from using it.
std::string ReplacementTarget(const std::string &path);

// The permission bits of the regular file at target, which its replacement takes over; none when
// there is no such file.
std::optional<mode_t> ExistingFileMode(const std::string &target);

// The folder a path names a file in: "." for a bare name, "/" for one at the root.
std::string FolderOfPath(const std::string &path);

} // namespace tarvotcpc
