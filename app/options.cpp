#include "app/options.h"

#include <boost/program_options.hpp>

#include <cctype>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <utility>

#include "app/pool_address.h"

namespace Kest {

namespace po = boost::program_options;

namespace {

constexpr uint32_t kMaxSeconds = 7 * 24 * 3600;  // a week: larger values are typing mistakes

po::options_description Describe() {
  po::options_description d("Options");
  // Numbers are read as text and checked here: the library would take "-5" as a huge
  // unsigned value.
  d.add_options()                                                                   //
      ("help,h", "print this list and exit")                                        //
      ("version", "print the version and exit")                                     //
      ("config", po::value<std::string>()->value_name("FILE"),                      //
       "account and pool file (default config.txt)")                                //
      ("pool,o", po::value<std::vector<std::string>>()->value_name("URL"),          //
       "pool address; repeat for alternatives (replaces the pools of the file)")    //
      ("user,u", po::value<std::string>()->value_name("KEY"), "account key")        //
      ("pass,p", po::value<std::string>()->value_name("PWD"), "pool password")      //
      ("failover-after", po::value<std::string>()->value_name("SECONDS"),           //
       "move to the next pool after the pool in use was unusable this long (30)")   //
      ("retry-main", po::value<std::string>()->value_name("SECONDS"),               //
       "while on another pool, try the main pool this often (60)")                  //
      ("idle-timeout", po::value<std::string>()->value_name("SECONDS"),             //
       "a connection that received nothing this long is lost (60)")                 //
      ("response-timeout", po::value<std::string>()->value_name("SECONDS"),         //
       "after a share is written, silence this long gets a ping; as long again "    //
       "and the connection counts as lost (10)")                                    //
      ("api-bind", po::value<std::string>()->value_name("[HOST:]PORT"),             //
       "serve the monitoring interface here (HOST defaults to 127.0.0.1)")          //
      ("api-token", po::value<std::string>()->value_name("TOKEN"),                  //
       "token the monitoring interface asks for")                                   //
      ("api-token-file", po::value<std::string>()->value_name("FILE"),              //
       "the same, from the first line of FILE (not seen in the process list)")      //
      ("watchdog", po::value<std::string>()->value_name("SECONDS"),                 //
       "end the miner with status 4 when a device's launch has not returned for "   //
       "this long (0: off; 120)")                                                   //
      ("power-limit", po::value<std::string>()->value_name("WATTS[,...]"),          //
       "power limit per card (one value for all, or a list in device order; "       //
       "'-' keeps a card as it is)")                                                //
      ("lock-core-clock", po::value<std::string>()->value_name("MHZ[,...]"),        //
       "lock the core clock, per card as above")                                    //
      ("lock-mem-clock", po::value<std::string>()->value_name("MHZ[,...]"),         //
       "lock the memory clock, per card as above")                                  //
      ("fan", po::value<std::string>()->value_name("PERCENT|auto[,...]"),           //
       "fan duty of every fan of a card, or auto (the driver's), per card")         //
      ("temp-stop", po::value<std::string>()->value_name("C"),                      //
       "pause a card whose core or memory temperature reaches C degrees")           //
      ("temp-start", po::value<std::string>()->value_name("C"),                     //
       "resume it once both are at or below C (default: 10 below --temp-stop)")     //
      ("no-share-minutes", po::value<std::string>()->value_name("M"),               //
       "end with status 5 when no share was accepted for M minutes although at "    //
       "least ten were expected (off)")                                             //
      ("log-file", po::value<std::string>()->value_name("FILE"),                    //
       "append every console line to FILE, with a timestamp (SIGHUP reopens it)")   //
      ("log-max-mb", po::value<std::string>()->value_name("N"),                     //
       "keep the log file under N MiB: rename it to FILE.1 and start afresh")       //
      ("benchmark", po::value<std::string>()->value_name("SECONDS"),                //
       "no pool: build the map and search a local job this long, re-check every "   //
       "solution and report; status 0 when all passed")                             //
      ("benchmark-trailer", po::value<std::string>()->value_name("HEX"),            //
       "the benchmark's job: a block trailer of 320 hex digits (default: random)")  //
      ("json", "with --benchmark: also print the figures as one JSON line");
  return d;
}

// Whole seconds in [min, kMaxSeconds].
bool ReadSeconds(const po::variables_map& vm, const char* name, uint32_t min, uint32_t& out,
                 std::string* error) {
  if (!vm.count(name)) return true;
  const std::string text = vm[name].as<std::string>();
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  const unsigned long value = digits ? std::stoul(text) : 0;
  if (!digits || value < min || value > kMaxSeconds) {
    *error = "--" + std::string(name) + " takes whole seconds from " + std::to_string(min) +
             " to " + std::to_string(kMaxSeconds) + ", not '" + text + "'";
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

// A whole number in [min, max] from `text` (digits only).
bool ReadNumber(const std::string& text, uint32_t min, uint32_t max, uint32_t* out) {
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  if (!digits) return false;
  const unsigned long value = std::stoul(text);
  if (value < min || value > max) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// A comma list of per-device values, each read by `read` or "-" (keep that card as it is).
template <typename T, typename Read>
bool ReadPerDevice(const po::variables_map& vm, const char* name, const char* what, Read read,
                   PerDevice<T>& out, std::string* error) {
  if (!vm.count(name)) return true;
  const std::string text = vm[name].as<std::string>();
  std::istringstream in(text + ",");
  std::string item;
  PerDevice<T> values;
  while (std::getline(in, item, ',')) {
    T value{};
    if (item == "-") {
      values.emplace_back();
    } else if (read(item, &value)) {
      values.emplace_back(value);
    } else {
      *error = "--" + std::string(name) + " takes " + what +
               " per card, comma-separated ('-' keeps a card as it is), not '" + text + "'";
      return false;
    }
  }
  out = std::move(values);
  return true;
}

// The first line of `path`, without trailing white space. False, with the reason in *error,
// when the file cannot be read or that line is empty.
bool ReadTokenFile(const std::string& path, std::string* token, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) {
    *error = "--api-token-file: cannot read '" + path + "'";
    return false;
  }
  const auto end = line.find_last_not_of(" \t\r\f\v");
  line.erase(end == std::string::npos ? 0 : end + 1);
  if (line.empty()) {
    *error = "--api-token-file: the first line of '" + path + "' is empty";
    return false;
  }
  *token = line;
  return true;
}

bool ReadGpuControl(const po::variables_map& vm, RunOptions& options, std::string* error) {
  const auto range = [](uint32_t min, uint32_t max) {
    return [min, max](const std::string& t, uint32_t* v) { return ReadNumber(t, min, max, v); };
  };
  const auto fan = [](const std::string& t, FanSetting* v) {
    if (t == "auto") {
      v->automatic = true;
      return true;
    }
    return ReadNumber(t, 0, 100, &v->percent);
  };
  if (!ReadPerDevice(vm, "power-limit", "watts from 1 to 2000", range(1, 2000),
                     options.power_limit_w, error) ||
      !ReadPerDevice(vm, "lock-core-clock", "MHz from 1 to 10000", range(1, 10000),
                     options.lock_core_mhz, error) ||
      !ReadPerDevice(vm, "lock-mem-clock", "MHz from 1 to 20000", range(1, 20000),
                     options.lock_mem_mhz, error) ||
      !ReadPerDevice(vm, "fan", "a percentage from 0 to 100 or auto", fan, options.fan, error)) {
    return false;
  }
  for (const char* name : {"temp-stop", "temp-start"}) {
    if (!vm.count(name)) continue;
    const std::string text = vm[name].as<std::string>();
    uint32_t c = 0;
    if (!ReadNumber(text, 1, 125, &c)) {
      *error = "--" + std::string(name) + " takes whole degrees Celsius from 1 to 125, not '" +
               text + "'";
      return false;
    }
    (std::string(name) == "temp-stop" ? options.temp_stop_c : options.temp_start_c) = c;
  }
  if (options.temp_start_c && !options.temp_stop_c) {
    *error = "--temp-start goes with --temp-stop";
    return false;
  }
  if (options.temp_stop_c) {
    if (!options.temp_start_c)
      options.temp_start_c = *options.temp_stop_c > 10 ? *options.temp_stop_c - 10 : 0;
    if (*options.temp_start_c >= *options.temp_stop_c) {
      *error = "--temp-start must be below --temp-stop";
      return false;
    }
  }
  if (vm.count("no-share-minutes")) {
    const std::string text = vm["no-share-minutes"].as<std::string>();
    char* end = nullptr;
    const double m = text.empty() || text.size() > 12 ? -1.0 : std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !(m >= 0.0) || m > 7.0 * 24 * 60 ||
        !std::isdigit(static_cast<unsigned char>(text[0]))) {
      *error = "--no-share-minutes takes minutes from 0 (off) to 10080, not '" + text + "'";
      return false;
    }
    options.no_share_minutes = m;
  }
  return true;
}

bool IsHexText(const std::string& text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool ReadFleet(const po::variables_map& vm, RunOptions& options, std::string* error) {
  if (vm.count("log-file")) {
    options.log_file = vm["log-file"].as<std::string>();
    if (options.log_file->empty()) {
      *error = "--log-file needs a file name";
      return false;
    }
  }
  if (vm.count("log-max-mb")) {
    const std::string text = vm["log-max-mb"].as<std::string>();
    if (!ReadNumber(text, 1, 1024 * 1024, &options.log_max_mb)) {
      *error = "--log-max-mb takes whole MiB from 1 to 1048576, not '" + text + "'";
      return false;
    }
    if (!options.log_file) {
      *error = "--log-max-mb goes with --log-file";
      return false;
    }
  }
  if (vm.count("benchmark")) {
    uint32_t s = 0;
    if (!ReadSeconds(vm, "benchmark", 1, s, error)) return false;
    options.benchmark_s = s;
  }
  if (vm.count("benchmark-trailer")) {
    const std::string text = vm["benchmark-trailer"].as<std::string>();
    if (text.size() != 320 || !IsHexText(text)) {
      *error = "--benchmark-trailer takes 320 hex digits (a 160-byte block trailer), not " +
               std::to_string(text.size()) + " characters" +
               (IsHexText(text) ? "" : " with non-hex ones");
      return false;
    }
    options.benchmark_trailer = text;
  }
  options.json = vm.count("json") > 0;
  if ((options.benchmark_trailer || options.json) && !options.benchmark_s) {
    *error =
        std::string(options.json ? "--json" : "--benchmark-trailer") + " goes with --benchmark";
    return false;
  }
  return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, RunOptions& options, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  po::variables_map vm;
  try {
    // Words that belong to no option are collected to be refused by name below.
    po::options_description all = Describe();
    all.add_options()("stray", po::value<std::vector<std::string>>());
    po::positional_options_description stray;
    stray.add("stray", -1);
    po::store(
        po::command_line_parser(argc, argv)
            .options(all)
            .positional(stray)
            .style(po::command_line_style::default_style & ~po::command_line_style::allow_guessing)
            .run(),
        vm);
    po::notify(vm);
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
  if (vm.count("stray")) {
    *error = "unexpected argument '" + vm["stray"].as<std::vector<std::string>>().front() + "'";
    return false;
  }
  options.help = vm.count("help") > 0;
  options.version = vm.count("version") > 0;
  if (vm.count("config")) {
    options.config_file = vm["config"].as<std::string>();
    options.config_given = true;
    if (options.config_file.empty()) {
      *error = "--config needs a file name";
      return false;
    }
  }
  if (vm.count("pool")) {
    options.pools = vm["pool"].as<std::vector<std::string>>();
    for (const auto& url : options.pools) {
      PoolAddress address;
      std::string why;
      if (!ParsePoolAddress(url, &address, &why)) {
        *error = "--pool: " + why;
        return false;
      }
    }
  }
  if (vm.count("user")) options.user = vm["user"].as<std::string>();
  if (vm.count("pass")) options.password = vm["pass"].as<std::string>();
  if (options.user && options.user->empty()) {
    *error = "--user needs an account key";
    return false;
  }
  if (!ReadSeconds(vm, "failover-after", 1, options.failover_after_s, error) ||
      !ReadSeconds(vm, "retry-main", 1, options.retry_main_s, error) ||
      !ReadSeconds(vm, "idle-timeout", 1, options.idle_timeout_s, error) ||
      !ReadSeconds(vm, "response-timeout", 1, options.response_timeout_s, error) ||
      !ReadSeconds(vm, "watchdog", 0, options.watchdog_s, error)) {
    return false;
  }
  if (vm.count("api-bind")) {
    options.api_bind = vm["api-bind"].as<std::string>();
    std::string host, why;
    uint16_t port = 0;
    if (!ParseApiBind(*options.api_bind, &host, &port, &why)) {
      *error = "--api-bind takes [HOST:]PORT with PORT from 0 (a free port) to 65535, not '" +
               *options.api_bind + "' (" + why + ")";
      return false;
    }
  }
  if (!ReadGpuControl(vm, options, error) || !ReadFleet(vm, options, error)) return false;
  if (vm.count("api-token") && vm.count("api-token-file")) {
    *error = "--api-token and --api-token-file do not go together";
    return false;
  }
  if (vm.count("api-token")) {
    options.api_token = vm["api-token"].as<std::string>();
    if (options.api_token->empty()) {
      *error = "--api-token needs a token";
      return false;
    }
  }
  if (vm.count("api-token-file")) {
    std::string token;
    if (!ReadTokenFile(vm["api-token-file"].as<std::string>(), &token, error)) return false;
    options.api_token = token;
  }
  return true;
}

std::string OptionsUsage() {
  std::ostringstream out;
  out << "Usage: plominer [options]\n"
      << "Without options the account and pools come from config.txt.\n\n"
      << Describe();
  std::string text = out.str();
  if (text.empty() || text.back() != '\n') text += '\n';
  text +=
      "\nExit statuses:\n"
      "  0    normal end: 'q', SIGTERM, SIGINT (or SIGHUP without --log-file),\n"
      "       POST /api/v1/quit (and --help, --version); a benchmark every device passed\n"
      "  1    the pool is a getwork pool (not supported for mining), or a device query or\n"
      "       the miner's own bookkeeping failed; a benchmark a device failed\n"
      "  2    bad command line, unreadable --config or --api-token-file, no usable pool\n"
      "       address, or the API address cannot be bound\n"
      "  3    no usable device at start, or none left mining later\n"
      "  4    a device's launch did not return (--watchdog)\n"
      "  5    no share accepted although many were expected (--no-share-minutes)\n"
      "  255  no pool can be tried\n"
      "  128+N  a second signal N (SIGTERM: 143, SIGINT: 130, SIGHUP: 129)\n";
  return text;
}

}  // namespace Kest
