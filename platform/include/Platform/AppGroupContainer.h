// File-system locations the platform hands to a process: its main bundle, the
// user's library directory and application-group containers.
//
// On this machine the user's library directory is $XDG_DATA_HOME, or
// $HOME/.local/share when that is unset, and the container of application group
// <id> is "<library>/Group Containers/<id>", created on first request (as the
// platform creates containers on demand).
#pragma once

#include <optional>
#include <string>

// Directory holding the running program (the main bundle).
std::string mainBundlePath();

// The first user-domain library directory; none when the user has no home.
std::optional<std::string> userLibraryDirectoryPath();

// Path of the shared container of an application group; none when the
// identifier is unusable or the container cannot be found or created.
std::optional<std::string> containerPathForSecurityApplicationGroupIdentifier(const std::string& groupIdentifier);
