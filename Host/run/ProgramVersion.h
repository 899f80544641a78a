// The program's own version text: shown in the banner, the first entry of
// the log, --version and the report.
#pragma once

constexpr char kProgramVersionText[] = "V100R001B003";
