// fwpack: builds firmware packages, attaches them to the program image and
// checks packages and program files.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Attach.h"
#include "FileBytes.h"
#include "PackageInfo.h"
#include "PackageWriter.h"

namespace {

const char kUsage[] =
    "usage: fwpack build -o PKG --identity PREFIX:BOARD:VERSION [--frame-size N] TYPE:FILE...\n"
    "       fwpack attach [--signature SIG] -o OUT IMAGE PKG\n"
    "       fwpack sign -s KEY.sec [-x SIG] PKG\n"
    "       fwpack info FILE\n"
    "       fwpack --help | --version\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Usage(const char* problem) {
    if (problem != NULL)
        std::fprintf(stderr, "fwpack: %s\n", problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

// Asked-for output (help, version) goes to stdout; exit 0 only when it got
// there whole, so `fwpack --help >/dev/full` does not pass for success.
int Print(const char* text) {
    std::fputs(text, stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "fwpack: cannot write to standard output: %s\n", std::strerror(errno));
        return kExitFailure;
    }
    return 0;
}

int Help() {
    return Print(kUsage);
}

bool IsHelp(const std::string& arg) {
    return arg == "-h" || arg == "--help";
}

int Fail(const std::string& error) {
    std::fprintf(stderr, "fwpack: %s\n", error.c_str());
    return kExitFailure;
}

bool ParseFrameSize(const char* text, DWORD& frameSize) {
    if (text[0] < '0' || text[0] > '9')
        return false;
    char* end = NULL;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > 0x7FFFFFFFULL)
        return false;
    frameSize = static_cast<DWORD>(value);
    return true;
}

int Build(int argc, char** argv) {
    std::string outPath;
    PackageRequest request;
    bool haveIdentity = false;
    std::vector<std::string> unitArgs;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (IsHelp(arg))
            return Help();
        if (arg == "-o") {
            if (!hasValue)
                return Usage("-o needs a file name");
            outPath = argv[++i];
        } else if (arg == "--identity") {
            if (!hasValue)
                return Usage("--identity needs PREFIX:BOARD:VERSION");
            request.identity = argv[++i];
            haveIdentity = true;
        } else if (arg == "--frame-size") {
            if (!hasValue || !ParseFrameSize(argv[i + 1], request.frameSize)) {
                return Usage("--frame-size needs a number from 1 to 2147483647");
            }
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else {
            unitArgs.push_back(arg);
        }
    }
    if (outPath.empty())
        return Usage("build needs -o PKG");
    if (!haveIdentity)
        return Usage("build needs --identity PREFIX:BOARD:VERSION");
    if (unitArgs.empty())
        return Usage("build needs at least one TYPE:FILE");

    std::string error;
    if (!CheckIdentity(request.identity, error))
        return Fail(error);
    for (const std::string& unitArg : unitArgs) {
        UnitInput unit;
        std::string path;
        if (!ParseUnitArgument(unitArg, unit.type, path, error))
            return Fail(error);
        if (!ReadWholeFile(path, unit.data, error))
            return Fail(error);
        request.units.push_back(std::move(unit));
    }
    CurrentDateAndTime(request.date, request.time);
    std::vector<BYTE> package;
    if (!ComposePackage(request, package, error) || !WriteWholeFile(outPath, package, error)) {
        return Fail(error);
    }
    return 0;
}

int Attach(int argc, char** argv) {
    std::string outPath;
    std::string signaturePath;
    std::vector<std::string> inputs;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (IsHelp(arg))
            return Help();
        if (arg == "-o") {
            if (i + 1 >= argc)
                return Usage("-o needs a file name");
            outPath = argv[++i];
        } else if (arg == "--signature") {
            if (i + 1 >= argc)
                return Usage("--signature needs a minisign signature file");
            signaturePath = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else {
            inputs.push_back(arg);
        }
    }
    if (outPath.empty())
        return Usage("attach needs -o OUT");
    if (inputs.size() != 2)
        return Usage("attach needs IMAGE and PKG");
    std::string error;
    if (!AttachFiles(outPath, inputs[0], inputs[1], error, signaturePath))
        return Fail(error);
    return 0;
}

// fwpack sign: minisign -S -s KEY -m PKG [-x SIG], which writes PKG.minisig
// by default (prehashed) and asks for the key's password itself.
int Sign(int argc, char** argv) {
    std::vector<std::string> args = {"minisign", "-S"};
    std::string package;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (IsHelp(arg))
            return Help();
        if (arg == "-s" || arg == "-x") {
            if (i + 1 >= argc)
                return Usage((arg + " needs a file name").c_str());
            args.push_back(arg);
            args.push_back(argv[++i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (!package.empty()) {
            return Usage("sign takes one PKG");
        } else {
            package = arg;
        }
    }
    if (std::find(args.begin(), args.end(), "-s") == args.end())
        return Usage("sign needs -s KEY.sec");
    if (package.empty())
        return Usage("sign needs PKG");
    args.push_back("-m");
    args.push_back(package);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> list;
        for (std::string& a : args)
            list.push_back(&a[0]);
        list.push_back(nullptr);
        execvp(list[0], list.data());
        std::fprintf(stderr, "fwpack: cannot run minisign: %s\n", std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return Fail(std::string("cannot run minisign: ") + std::strerror(errno));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage(NULL);
    const std::string command = argv[1];
    if (IsHelp(command))
        return Help();
    if (command == "--version") {
        return Print("fwpack " FP_VERSION "\n");
    }
    if (command == "build")
        return Build(argc - 2, argv + 2);
    if (command == "attach")
        return Attach(argc - 2, argv + 2);
    if (command == "sign")
        return Sign(argc - 2, argv + 2);
    if (command == "info") {
        if (argc == 3 && IsHelp(argv[2]))
            return Help();
        if (argc != 3)
            return Usage("info needs exactly one FILE");
        return PrintPackageInfo(argv[2], stdout, stderr);
    }
    return Usage(("unknown command " + command).c_str());
}
