// The Debian package of this build: packed with cpack, unpacked with
// dpkg-deb, and the installed fwpack put to work with the installed image.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "PackageTestSupport.h"

namespace {

using pkgtest::TempDir;

using pkgtest::RunResult;

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs argv (quoted word by word) from dir's scratch files.
RunResult RunCommand(const TempDir& dir, const std::vector<std::string>& argv) {
    std::string command;
    for (const std::string& word : argv)
        command += Quote(word) + " ";
    command += ">" + Quote(dir / "cmd.out") + " 2>" + Quote(dir / "cmd.err");
    RunResult run;
    const int raw = std::system(command.c_str());
    run.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    run.out = pkgtest::ReadText(dir / "cmd.out");
    run.err = pkgtest::ReadText(dir / "cmd.err");
    return run;
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string rest = path != NULL ? path : "";
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string entry = rest.substr(0, colon);
        if (!entry.empty() && access((entry + "/" + program).c_str(), X_OK) == 0)
            return true;
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    return false;
}

std::string Chomp(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// One assignment or match of a udev rule: KEY, KEY{attribute}, an operator
// and a double-quoted value.
bool IsRuleToken(const std::string& token) {
    size_t at = 0;
    while (at < token.size() &&
           (std::isupper(static_cast<unsigned char>(token[at])) || token[at] == '_'))
        ++at;
    if (at == 0)
        return false;
    if (at < token.size() && token[at] == '{') {
        const size_t close = token.find('}', at);
        if (close == std::string::npos || close == at + 1)
            return false;
        for (size_t i = at + 1; i < close; ++i) {
            const unsigned char c = static_cast<unsigned char>(token[i]);
            if (!std::isalnum(c) && c != '_' && c != '/')
                return false;
        }
        at = close + 1;
    }
    bool op = false;
    for (const char* candidate : {"==", "!=", "+=", ":=", "="}) {
        if (token.compare(at, std::strlen(candidate), candidate) == 0) {
            at += std::strlen(candidate);
            op = true;
            break;
        }
    }
    return op && token.size() >= at + 2 && token[at] == '"' && token.back() == '"' &&
           token.find('"', at + 1) == token.size() - 1;
}

// The udev rules stand where udev reads a package's rules, as the source has
// them, and every rule line is made of well-formed tokens: udev itself skips a
// malformed line with no more than a log message.
void ExpectUdevRules(const std::string& root) {
    std::string installed;
    for (const char* dir : {"/lib/udev/rules.d/", "/usr/lib/udev/rules.d/"}) {
        if (access((root + dir + "60-flashpilot.rules").c_str(), R_OK) == 0)
            installed = pkgtest::ReadText(root + dir + "60-flashpilot.rules");
    }
    ASSERT_FALSE(installed.empty()) << "no udev rules in the package";
    EXPECT_EQ(installed, pkgtest::ReadText(FP_SOURCE_DIR "/packaging/60-flashpilot.rules"));
    std::istringstream lines(installed);
    int rules = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        ++rules;
        std::istringstream tokens(line);
        for (std::string token; std::getline(tokens, token, ',');) {
            const size_t first = token.find_first_not_of(' ');
            EXPECT_TRUE(first != std::string::npos && IsRuleToken(token.substr(first)))
                << "[" << token << "] in: " << line;
        }
    }
    EXPECT_EQ(rules, 5);
}

TEST(ReleasePackage, DebianPackageInstallsWorkingTools) {
    if (access(FP_CPACK, X_OK) != 0 || !OnPath("dpkg-deb"))
        GTEST_SKIP() << "cpack or dpkg-deb is not available";
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());

    // cpack reads the CPackConfig.cmake of the current directory.
    const std::string pack = "cd " + Quote(FP_BUILD_DIR) + " && " + Quote(FP_CPACK) +
                             " -G DEB -B " + Quote(dir / "out") + " >" + Quote(dir / "cpack.log") +
                             " 2>&1";
    ASSERT_EQ(std::system(pack.c_str()), 0) << pkgtest::ReadText(dir / "cpack.log");
    std::vector<std::string> debs;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "out")) {
        if (entry.path().extension() == ".deb")
            debs.push_back(entry.path().string());
    }
    ASSERT_EQ(debs.size(), 1u) << pkgtest::ReadText(dir / "cpack.log");
    const std::string deb = debs[0];

    // Control fields.
    std::string arch;
    if (OnPath("dpkg"))
        arch = Chomp(RunCommand(dir, {"dpkg", "--print-architecture"}).out);
    struct Field {
        const char* name;
        std::string expected;  // empty: any non-empty value
        const char* contains;
    };
    const Field fields[] = {
        {"Package", "flashpilot", ""}, {"Version", FP_VERSION, ""}, {"Architecture", arch, ""},
        {"Depends", "", "libc6"},      {"Maintainer", "", "@"},     {"Section", "", ""},
        {"Description", "", "fwpack"},
    };
    for (const Field& f : fields) {
        const RunResult run = RunCommand(dir, {"dpkg-deb", "-f", deb, f.name});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string value = Chomp(run.out);
        EXPECT_FALSE(value.empty()) << f.name;
        if (!f.expected.empty()) {
            EXPECT_EQ(value, f.expected) << f.name;
        }
        EXPECT_NE(value.find(f.contains), std::string::npos) << f.name << ": " << value;
    }

    // Files, where the package puts them.
    const std::string root = dir / "root";
    const RunResult unpack = RunCommand(dir, {"dpkg-deb", "-x", deb, root});
    ASSERT_EQ(unpack.status, 0) << unpack.err;
    struct File {
        const char* path;
        bool executable;
    };
    const File files[] = {
        {"usr/bin/fwpack", true},
        {"usr/bin/modemsim", true},
        {"usr/lib/flashpilot/flashpilot", true},
        {"usr/share/doc/flashpilot/README.md", false},
        {"usr/share/doc/flashpilot/copyright", false},
        {"usr/share/doc/flashpilot/changelog.gz", false},
        {"usr/bin/flashpilot-support-bundle", true},
        {"usr/share/flashpilot/ansible/update-modem.yml", false},
        {"usr/share/flashpilot/ansible/roles/flashpilot/tasks/main.yml", false},
        {"usr/share/flashpilot/ansible/README.md", false},
        {"usr/share/man/man1/flashpilot-support-bundle.1.gz", false},
        {"usr/share/man/man1/flashpilot.1.gz", false},
        {"usr/share/man/man1/fwpack.1.gz", false},
        {"usr/share/man/man1/modemsim.1.gz", false},
    };
    for (const File& f : files) {
        struct stat st;
        ASSERT_EQ(stat((root + "/" + f.path).c_str(), &st), 0) << f.path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << f.path;
        EXPECT_EQ((st.st_mode & S_IXOTH) != 0, f.executable) << f.path;
    }
    EXPECT_EQ(pkgtest::ReadText(root + "/usr/share/doc/flashpilot/README.md"),
              pkgtest::ReadText(FP_SOURCE_DIR "/README.md"));
    ExpectUdevRules(root);
    const pkgtest::Bytes image = pkgtest::ReadBytes(root + "/usr/lib/flashpilot/flashpilot");
    ASSERT_GE(image.size(), 4u);
    EXPECT_EQ(pkgtest::Bytes(image.begin(), image.begin() + 4),
              (pkgtest::Bytes{0x7F, 'E', 'L', 'F'}));

    // The support bundle, run by its name on the PATH, packs a run's folder.
    const std::string runDir = dir / "run";
    ASSERT_EQ(mkdir(runDir.c_str(), 0755), 0);
    pkgtest::WriteBytes(runDir + "/KorvelFlashPilotLog.log", pkgtest::Bytes{'l', 'o', 'g'});
    const std::string path = root + "/usr/bin:" + std::string(getenv("PATH"));
    const RunResult bundle = RunCommand(
        dir, {"env", "PATH=" + path, "sh", "-c",
              "cd \"$1\" && exec flashpilot-support-bundle \"$2\"", "sh", dir.Path(), runDir});
    EXPECT_EQ(bundle.status, 0) << bundle.err;
    EXPECT_NE(bundle.out.find(dir.Path() + "/flashpilot-support-"), std::string::npos)
        << bundle.out;

    // The installed fwpack: builds a package, attaches it to the installed
    // image, and finds the package in the result.
    const std::string fwpack = root + "/usr/bin/fwpack";
    RunResult run = RunCommand(dir, {fwpack, "--version"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "fwpack " FP_VERSION "\n");
    pkgtest::WriteBytes(dir / "unit", pkgtest::PatternBytes(5000, 4));
    run = RunCommand(dir, {fwpack, "build", "-o", dir / "p.bin", "--identity", "V001:QM90W:2.0",
                           "0x00010000:" + (dir / "unit")});
    ASSERT_EQ(run.status, 0) << run.err;
    run = RunCommand(dir, {fwpack, "attach", "-o", dir / "prog",
                           root + "/usr/lib/flashpilot/flashpilot", dir / "p.bin"});
    ASSERT_EQ(run.status, 0) << run.err;
    run = RunCommand(dir, {fwpack, "info", dir / "prog"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "identity V001:QM90W:2.0\n"
              "unit 0 type 0x00010000 length 5000 frames 2\n");
    const pkgtest::Bytes prog = pkgtest::ReadBytes(dir / "prog");
    ASSERT_GT(prog.size(), image.size());
    EXPECT_EQ(pkgtest::Bytes(prog.begin(), prog.begin() + image.size()), image);

    // Debian's own check: no error and no warning (lintian exits 1 on an
    // error; --fail-on makes a warning fail as well).
    if (!OnPath("lintian")) {
        std::printf("lintian is not installed: the package's lintian check is skipped\n");
        return;
    }
    run = RunCommand(dir, {"lintian", "--fail-on", "error,warning", deb});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("E: "), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("W: "), std::string::npos) << run.out;
}

}  // namespace
