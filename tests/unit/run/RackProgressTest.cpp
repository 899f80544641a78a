// The --all console and report: a modem's line as status lines arrive, the
// lines for a log, the table, the trace names and the report's merge.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AllModems.h"
#include "RackProgress.h"
#include "RunReport.h"

namespace {

TEST(RackProgress, StatusLinesMoveTheLineThroughThePhasesAndThePercent) {
    SRackModem m;
    m.portPath = "1-1.2";
    struct Step {
        const char* status;
        bool changed;
        const char* line;
    };
    const Step steps[] = {
        {"phase start-up", true, "1-1.2     search"},
        {"phase search", false, "1-1.2     search"},
        {"phase backup", true, "1-1.2     backup"},
        {"progress 0", false, "1-1.2     backup"},  // the percent waits for the download
        {"phase switch", true, "1-1.2     switch"},
        {"phase download", true, "1-1.2     download 0%"},
        {"progress 45", false, "1-1.2     download 45%"},
        {"progress 101", false, "1-1.2     download 45%"},
        {"progress x", false, "1-1.2     download 45%"},
        {"noise", false, "1-1.2     download 45%"},
        {"phase reset", true, "1-1.2     restart  45%"},
        {"phase restore", true, "1-1.2     restore  45%"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.status);
        EXPECT_EQ(ApplyStatusLine(&m, s.status), s.changed);
        EXPECT_EQ(ProgressLine(m, 8), s.line);
    }
    m.result = "FALSE";
    EXPECT_EQ(ProgressLine(m, 5), "1-1.2  restore  45%   FALSE");
    EXPECT_EQ(EventLine("10:11:12", m), "10:11:12 1-1.2 FALSE\n");
    m.result.clear();
    EXPECT_EQ(EventLine("10:11:12", m), "10:11:12 1-1.2 restore\n");
}

TEST(RackProgress, TheTableHasOneRowPerModemWithDashesForTheUnknown) {
    SRackModem done, refused;
    done.portPath = "1-1";
    done.versionBefore = "11.608.13.02.00";
    done.versionAfter = "11.810.09.17.00";
    done.result = "TRUE";
    refused.portPath = "2-1.3.4.1";
    refused.versionBefore = "11.608.13.02.00";
    refused.result = "FALSE";
    refused.errorCode = 14;
    EXPECT_EQ(ResultTable({done, refused}),
              "USB port   before            after             result     error\n"
              "1-1        11.608.13.02.00   11.810.09.17.00   TRUE       -\n"
              "2-1.3.4.1  11.608.13.02.00   -                 FALSE      14\n");
}

TEST(RackProgress, TraceFilesTakeThePortPathBeforeTheirExtension) {
    EXPECT_EQ(TraceFileFor("t.jsonl", "1-2"), "t-1-2.jsonl");
    EXPECT_EQ(TraceFileFor("logs.d/trace", "1-2"), "logs.d/trace-1-2");
    EXPECT_EQ(TraceFileFor("/var/.hidden", "3-1.1"), "/var/.hidden-3-1.1");
}

TEST(RackReport, EveryModemIsAnEntryAndOneWithoutAReportIsAFailureNamingItsPath) {
    const std::string single =
        R"({"device": {"usb_path": "1-1"}, "result": "success", "error_code": null})";
    const nlohmann::json merged = nlohmann::json::parse(RackReportText(
        "failure", {{"1-1", single, ""}, {"1-2", "", ""}, {"1-3", "{\"cut", "held"}}));
    EXPECT_EQ(merged["result"], "failure");
    EXPECT_EQ(merged["program"]["name"], "FlashPilot");
    EXPECT_TRUE(merged.contains("package"));
    ASSERT_EQ(merged["modems"].size(), 3u);
    EXPECT_EQ(merged["modems"][0], nlohmann::json::parse(single));
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(merged["modems"][i]["device"]["usb_path"], "1-" + std::to_string(i + 1));
        EXPECT_EQ(merged["modems"][i]["result"], "failure");
        EXPECT_TRUE(merged["modems"][i]["error_code"].is_null());
    }
    EXPECT_NE(merged["modems"][1]["message"], "");
    EXPECT_EQ(merged["modems"][2]["message"], "held");
}

}  // namespace
