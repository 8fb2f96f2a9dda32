#include "app/metrics.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

namespace Kest {

namespace {

constexpr const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t n;
  unsigned char low = 0x80, high = 0xbf;  // allowed range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return n;
}

// A label value in quotes: backslash, double quote and line feed escaped as the format asks;
// other control characters and bytes that are not UTF-8 become U+FFFD, so any text gives a
// line a scraper parses.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (u < 0x20 || u == 0x7f) {
      out += kReplacement;
      ++i;
    } else if (const std::size_t n = Utf8Length(text, i); n > 0) {
      out.append(text, i, n);
      i += n;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  out += '"';
  return out;
}

// The shortest decimal text that reads back as the same double; the format's spellings for
// the values that are not finite.
std::string Number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof(text), "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

std::string Number(uint64_t value) {
  return std::to_string(value);
}

using Labels = std::vector<std::pair<const char*, std::string>>;

// One family: its # HELP and # TYPE lines, then its samples.
class Family {
 public:
  Family(std::string& out, const char* name, const char* type, const char* help)
      : out_(out), name_(name) {
    out_ += std::string("# HELP ") + name + ' ' + help + '\n';
    out_ += std::string("# TYPE ") + name + ' ' + type + '\n';
  }

  template <class T>
  void Sample(const Labels& labels, T value) {
    out_ += name_;
    if (!labels.empty()) {
      out_ += '{';
      for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) out_ += ',';
        out_ += labels[i].first;
        out_ += '=';
        out_ += Quoted(labels[i].second);
      }
      out_ += '}';
    }
    out_ += ' ' + Number(value) + '\n';
  }

 private:
  std::string& out_;
  const char* name_;
};

Labels DeviceLabels(const ApiDevice& d) {
  return {{"device", std::to_string(d.id)},
          {"name", d.name},
          {"pci_bus_id", d.pci_bus_id.value_or("")}};
}

// A state of the summary ("building map") as a label value ("building_map").
std::string StateLabel(std::string state) {
  for (char& c : state) {
    if (c == ' ') c = '_';
  }
  return state;
}

void DeviceHealth(std::string& out, const std::vector<ApiDevice>& devices, const char* name,
                  const char* help, std::optional<double> ApiDevice::*field) {
  Family f(out, name, "gauge", help);
  for (const ApiDevice& d : devices) {
    if (const std::optional<double>& value = d.*field) f.Sample(DeviceLabels(d), *value);
  }
}

}  // namespace

std::string UrlWithoutCredentials(const std::string& url) {
  std::string out = url;
  const auto scheme = out.find("://");
  const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const auto authority_end = out.find_first_of("/?#", start);
  const auto at = out.rfind('@', authority_end == std::string::npos ? out.size() : authority_end);
  if (at != std::string::npos && at >= start) out.erase(start, at + 1 - start);
  if (const auto query = out.find('?', start); query != std::string::npos) {
    const auto fragment = out.find('#', query);
    out.erase(query, fragment == std::string::npos ? std::string::npos : fragment - query);
  }
  return out;
}

std::string MetricsText(const ApiSummary& s) {
  std::string out;
  Family(out, "plominer_build_info", "gauge", "The miner's version as a label; always 1.")
      .Sample({{"version", s.version}}, uint64_t{1});
  Family(out, "plominer_uptime_seconds", "gauge", "Seconds since the miner started.")
      .Sample({}, s.uptime_s);
  Family(out, "plominer_pool_up", "gauge",
         "1 while the pool in use is usable (connected, heard from within the idle limit, holding "
         "a job), else 0.")
      .Sample({{"url", UrlWithoutCredentials(s.pool.url)}}, uint64_t{s.pool.usable ? 1u : 0u});
  Family(out, "plominer_pool_switches_total", "counter",
         "Moves from one pool to another since start.")
      .Sample({}, s.pool.switches);
  Family(out, "plominer_job_block", "gauge",
         "Block number of the job being mined (0 before the first job).")
      .Sample({}, s.job.block);
  Family(out, "plominer_job_difficulty", "gauge", "Share difficulty of the job being mined.")
      .Sample({}, s.job.difficulty);
  {
    Family f(out, "plominer_shares_total", "counter",
             "Shares by outcome: submitted (written and confirmed by a later line from the pool), "
             "unconfirmed_lost (written, connection lost before a confirmation), cpu_failed "
             "(failed the CPU re-check), stale (job replaced), unsent_dropped (never written), "
             "pool_error (error replies from the pool).");
    const uint64_t counts[] = {s.shares.submitted,      s.shares.unconfirmed_lost,
                               s.shares.cpu_failed,     s.shares.stale_dropped,
                               s.shares.unsent_dropped, s.shares.pool_errors};
    for (std::size_t i = 0; i < std::size(counts); ++i) {
      f.Sample({{"outcome", kShareOutcomes[i]}}, counts[i]);
    }
  }
  {
    Family f(out, "plominer_device_hashrate_hashes_per_second", "gauge",
             "Hash rate of the device over the last sample.");
    for (const ApiDevice& d : s.devices) f.Sample(DeviceLabels(d), d.hashrate);
  }
  {
    Family f(out, "plominer_device_solutions_total", "counter",
             "Solutions of the device that passed the CPU re-check.");
    for (const ApiDevice& d : s.devices) f.Sample(DeviceLabels(d), d.solutions);
  }
  {
    Family f(out, "plominer_device_state", "gauge",
             "1 for the state the device is in, 0 for the others: mining, building_map, paused, "
             "stopped.");
    for (const ApiDevice& d : s.devices) {
      const std::string current = StateLabel(d.state);
      bool known = false;
      for (const char* state : kDeviceStates) {
        Labels labels = DeviceLabels(d);
        labels.emplace_back("state", state);
        known |= current == state;
        f.Sample(labels, uint64_t{current == state ? 1u : 0u});
      }
      if (!known) {  // a state this list does not have yet: shown all the same
        Labels labels = DeviceLabels(d);
        labels.emplace_back("state", current);
        f.Sample(labels, uint64_t{1});
      }
    }
  }
  DeviceHealth(out, s.devices, "plominer_device_temperature_celsius",
               "GPU temperature; absent while unknown.", &ApiDevice::temperature_c);
  DeviceHealth(out, s.devices, "plominer_device_power_watts",
               "GPU power draw; absent while unknown.", &ApiDevice::power_w);
  DeviceHealth(out, s.devices, "plominer_device_fan_percent",
               "GPU fan speed in percent, as the driver reports it; absent while unknown.",
               &ApiDevice::fan_pct);
  return out;
}

}  // namespace Kest
