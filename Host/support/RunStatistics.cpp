#include "RunStatistics.h"

SRunStatistics g_RunStatistics;
