// kelhost poll: reads tags every interval and shows their values, ages and
// statuses with per-station counters, redrawn in place on a terminal and as
// plain lines otherwise; Ctrl-C or the round count ends it with the totals.
#pragma once

#include <string>
#include <vector>

#include "host/driver_module.h"
#include "host/failure_kind.h"
#include "host/kelhost_cli.h"

// Values of a tag as kelhost prints them (" 1 2 3").
std::string FormatValues(const Tag& tag, const std::vector<uint16_t>& values, bool hex);

int RunPoll(const Options& options, Board& board, FailureCollector& collector, const std::vector<Operation>& operations,
            const std::vector<Tag>& tags);
