#pragma once

#include <filesystem>
#include <string>

namespace nimbuscrate {

// Where the programs keep their state. The root is $XDG_DATA_HOME/nimbuscrate
// (~/.local/share/nimbuscrate by default).
//   shared/secrets/             the secret store both programs use
//   shared/group.app.nimbuscrate.json   the application group defaults
//   containers/<program>/       one program's own data (mapping database, caches, standard defaults)
// Without HOME, the home folder of the user's password-database entry is
// used; throws PlatformError when there is none.
std::filesystem::path dataRoot();
std::filesystem::path sharedDataDirectory();
// The container of the running program; setProgramName picks it ("Nimbuscrate",
// "NimbuscrateFileProvider"); "default" until set.
std::filesystem::path containerDirectory();
void setProgramName(const std::string& name);

// Creates the folder and its parents with mode 0700 (existing ones are left as they are).
void createPrivateDirectories(const std::filesystem::path& directory);

}  // namespace nimbuscrate
