#pragma once
// The Prometheus text exposition format (version 0.0.4) of a sample: one
// counter family per session counter, one series per session, and a gauge
// with the number of sessions served.

#include <array>
#include <memory>
#include <string>

#include "tools/routerstat/samples.h"

namespace routerstat {

// `counterNames` are the counters' WMI property names; each family is named
// after one, lower-cased, as fernwick_router_session_<name>_total.
std::unique_ptr<SampleWriter> MakeExpositionWriter(const std::array<std::wstring, kCounters>& counterNames);

}  // namespace routerstat
