#include "StartFolder.h"

#include <unistd.h>

#include "AttachedPackage.h"

std::string StartFolderHint(const char* cwd) {
    char exe[4096];
    const ssize_t length = readlink(kOwnProgramFile, exe, sizeof exe - 1);
    if (length <= 0)
        return "";
    exe[length] = '\0';
    const std::string path(exe);
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return "";
    const std::string folder = path.substr(0, slash + 1);
    if (folder == cwd)
        return "";
    const std::string shown = slash == 0 ? "/" : path.substr(0, slash);
    return "Start the program from its own folder: cd " + shown + " && ./" +
           path.substr(slash + 1) + "\n";
}
