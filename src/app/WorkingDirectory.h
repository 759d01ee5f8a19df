// Where korimo runs: the working directory that holds the operator's root/
// folder, seeded from the start page shipped with the program, and the
// files shipped beside the program.
//
// Installed, the program is PREFIX/bin/korimo, its start page
// PREFIX/share/korimo/root and its bind helper PREFIX/lib/korimo/korimo-bind.
// The build tree holds the same two beside the binary (share/korimo/root,
// a link to the repository's root/, and lib/korimo/korimo-bind).
//
// Every failure raises std::runtime_error with "call PATH: text (errno)".
#pragma once

#include <string>

namespace korimo {

// The folder of the running program (from /proc/self/exe).
std::string ProgramDirectory();

// The first of <programDir>/../RELATIVE and <programDir>/RELATIVE that
// exists; empty when neither does.
std::string FindShipped(const std::string& programDir, const std::string& relative);

// The user's data folder for korimo: $XDG_DATA_HOME/korimo when that is an
// absolute path, else HOME/.local/share/korimo. Either argument may be
// null or empty; raises when no home is known.
std::string UserDataDirectory(const char* xdgDataHome, const char* home);

// Creates `dir` and its missing parents (mode 0700 before the umask, as for
// a user's data folders); existing folders are left as they are.
void MakeDirectories(const std::string& dir);

// Changes to `dir`. When it holds no root/, creates root/ as a copy of the
// folder `startPage` (folders and regular files; the copy is built beside
// and renamed into place, so a failed seeding leaves no half root/). An
// existing root/, whatever it holds, is never touched.
// Returns true when it seeded root/.
bool EnterWorkingDirectory(const std::string& dir, const std::string& startPage);

}  // namespace korimo
