// The monitoring summary as Prometheus metrics: the text exposition format 0.0.4, served by the
// API server as GET /metrics (same address, Host and token rules as the summary).
//
// Every family has the prefix plominer_, a # HELP and a # TYPE line, base units in its name and
// _total on counters:
//   plominer_build_info{version}                      gauge, always 1
//   plominer_uptime_seconds                           gauge
//   plominer_pool_up{url}                             gauge, 1 while the pool in use is usable
//   plominer_pool_switches_total                      counter
//   plominer_job_block, plominer_job_difficulty       gauges (0 before the first job)
//   plominer_shares_total{outcome}                    counter; outcome is one of kShareOutcomes
//   per device, labels device (CUDA number), name and pci_bus_id ("" when unknown):
//   plominer_device_hashrate_hashes_per_second        gauge
//   plominer_device_solutions_total                   counter
//   plominer_device_state{state}                      gauge: 1 for the current state, 0 for the
//                                                     others; state is one of kDeviceStates
//   plominer_device_temperature_celsius, plominer_device_power_watts, plominer_device_fan_percent
//                                                     gauges, left out for a device whose figure
//                                                     is unknown (never reported as 0)
// The url label never holds credentials: a user part before '@' and a query are cut off.
#pragma once

#include <string>

#include "app/api_server.h"

namespace Kest {

// The MIME type of the text MetricsText writes.
constexpr const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// The outcome label values of plominer_shares_total, in the order the summary lists them.
constexpr const char* kShareOutcomes[] = {"submitted", "unconfirmed_lost", "cpu_failed",
                                          "stale",     "unsent_dropped",   "pool_error"};

// The state label values of plominer_device_state: the summary's states with '_' for spaces.
constexpr const char* kDeviceStates[] = {"mining", "building_map", "paused", "stopped"};

std::string MetricsText(const ApiSummary& summary);

// A pool address without credentials: the user part of its authority ("user:pass@") and any
// query ("?...") removed.
std::string UrlWithoutCredentials(const std::string& url);

}  // namespace Kest
