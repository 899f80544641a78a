// The command line: what each one runs, or the exit status and the first line
// of standard error that refuse it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "PackageCommands.h"
#include "ProgramOptions.h"

namespace {

struct Outcome {
    bool handled = false;  // the command line ended the program
    int status = -1;
    std::string firstErrorLine;
    ProgramOptions options;
};

// HandleCommandLine on "fp" and args, standard error captured.
Outcome Handle(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"fp"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    Outcome o;
    std::fflush(stderr);
    FILE* captured = std::tmpfile();
    const int saved = dup(STDERR_FILENO);
    dup2(fileno(captured), STDERR_FILENO);
    o.handled =
        HandleCommandLine(static_cast<int>(words.size()), argv.data(), &o.options, &o.status);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::rewind(captured);
    char line[512] = {};
    if (std::fgets(line, sizeof line, captured) != nullptr)
        o.firstErrorLine.assign(line, std::strcspn(line, "\n"));
    std::fclose(captured);
    return o;
}

TEST(ProgramOptions, RefusedCommandLinesNameTheOptionAsTyped) {
    struct Row {
        std::vector<std::string> args;
        std::string error;  // after "fp: "
    };
    const Row rows[] = {
        {{"--report", "--check"},
         "option --report takes a file name, not --check (name a file that begins with - as "
         "./--check)"},
        {{"--trace", "--skip-if-current"},
         "option --trace takes a file name, not --skip-if-current (name a file that begins "
         "with - as ./--skip-if-current)"},
        {{"--report=-r.json"},
         "option --report takes a file name, not -r.json (name a file that begins with - as "
         "./-r.json)"},
        {{"--check", "--trace", "-"},
         "option --trace takes a file name, not - (name a file that begins with - as ./-)"},
        {{"--report="}, "--report needs a file name"},
        {{"--check", "--report"}, "option --report needs an argument"},
        {{"--check=1"}, "option --check takes no argument"},
        {{"--help=x"}, "option --help takes no argument"},
        {{"--skip=yes"}, "option --skip takes no argument"},  // an abbreviation, as typed
        {{"--chek"}, "unknown option --chek"},
        {{"--chek=1"}, "unknown option --chek"},
        {{"--check", "-x"}, "unknown option -x"},
        {{"-hx"}, "unknown option -x"},
        {{"--check", "now"}, "unexpected argument now"},
        {{"--usb-port", "--all"},
         "option --usb-port takes a USB port path such as 1-1.2, not --all"},
        {{"--usb-port", "../1-1"},
         "option --usb-port takes a USB port path such as 1-1.2, not ../1-1"},
        {{"--usb-port=1-1/x"}, "option --usb-port takes a USB port path such as 1-1.2, not 1-1/x"},
        {{"--usb-port", ""}, "option --usb-port takes a USB port path such as 1-1.2, not "},
        {{"--usb-port", std::string(kUsbPortPathMax + 1, '1')},
         "option --usb-port takes a USB port path such as 1-1.2, not " +
             std::string(kUsbPortPathMax + 1, '1')},
        {{"--all", "--usb-port", "1-1"}, "options --all and --usb-port exclude each other"},
        {{"--all=1"}, "option --all takes no argument"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + (row.args.size() > 1 ? " " + row.args[1] : ""));
        const Outcome o = Handle(row.args);
        EXPECT_TRUE(o.handled);
        EXPECT_EQ(o.status, kUsageExitStatus);
        EXPECT_EQ(o.firstErrorLine, std::string("fp: ") + row.error);
    }
}

TEST(ProgramOptions, AcceptedCommandLinesRunWithTheirSettings) {
    using Mode = ProgramOptions::Mode;
    struct Row {
        std::vector<std::string> args;
        Mode mode;
        bool skip;
        const char* report;
        const char* trace;
        const char* usbPort = "";
        bool all = false;
    };
    const Row rows[] = {
        {{}, Mode::kUpdate, false, "", ""},
        {{"--report", "./--check"}, Mode::kUpdate, false, "./--check", ""},
        {{"--check", "--report=r.json", "--trace", "t.jsonl"},
         Mode::kCheck,
         false,
         "r.json",
         "t.jsonl"},
        {{"--skip", "--rep", "r-1.json"}, Mode::kUpdate, true, "r-1.json", ""},
        {{"--usb-port", "2-1.3.10", "--check"}, Mode::kCheck, false, "", "", "2-1.3.10"},
        {{"--all", "--skip-if-current", "--trace", "t"}, Mode::kUpdate, true, "", "t", "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.empty() ? "no option" : row.args[0]);
        const Outcome o = Handle(row.args);
        EXPECT_FALSE(o.handled);
        EXPECT_EQ(o.firstErrorLine, "");
        EXPECT_EQ(o.options.mode, row.mode);
        EXPECT_EQ(o.options.skipIfCurrent, row.skip);
        EXPECT_EQ(o.options.reportPath, row.report);
        EXPECT_EQ(o.options.tracePath, row.trace);
        EXPECT_EQ(o.options.usbPort, row.usbPort);
        EXPECT_EQ(o.options.all, row.all);
    }
}

}  // namespace
