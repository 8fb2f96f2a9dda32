#include "app/options.h"

#include <boost/program_options.hpp>

#include <cctype>
#include <exception>
#include <sstream>

namespace Kest {

namespace po = boost::program_options;

namespace {

constexpr uint32_t kMaxSeconds = 7 * 24 * 3600;  // a week: larger values are typing mistakes
constexpr std::size_t kFingerprintHexDigits = 64;
constexpr unsigned long kMaxPort = 65535;

po::options_description Describe() {
  po::options_description d("Options");
  // Numbers are read as text and checked here: the library would take "-5" as a huge
  // unsigned value.
  d.add_options()                                                                  //
      ("help,h", "print this list and exit")                                       //
      ("version", "print the version and exit")                                    //
      ("config", po::value<std::string>()->value_name("FILE"),                     //
       "account and pool file (default config.txt)")                               //
      ("pool,o", po::value<std::vector<std::string>>()->value_name("URL"),         //
       "pool address; repeat for alternatives (replaces the pools of the file)")   //
      ("user,u", po::value<std::string>()->value_name("KEY"), "account key")       //
      ("pass,p", po::value<std::string>()->value_name("PWD"), "pool password")     //
      ("failover-after", po::value<std::string>()->value_name("SECONDS"),          //
       "move to the next pool after the pool in use was unusable this long (30)")  //
      ("retry-main", po::value<std::string>()->value_name("SECONDS"),              //
       "while on another pool, try the main pool this often (60)")                 //
      ("idle-timeout", po::value<std::string>()->value_name("SECONDS"),            //
       "a connection that received nothing this long is lost (60)")                //
      ("api-bind", po::value<std::string>()->value_name("[HOST:]PORT"),            //
       "serve the monitoring interface here (HOST defaults to 127.0.0.1)")         //
      ("api-token", po::value<std::string>()->value_name("TOKEN"),                 //
       "token the monitoring interface asks for")                                  //
      ("watchdog", po::value<std::string>()->value_name("SECONDS"),                //
       "watchdog limit of the monitoring helper (0: off; 120)");
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

// A pool address: not empty, and a pin after '#' is 64 hex digits (colons allowed).
bool CheckPool(const std::string& url, std::string* error) {
  if (url.empty() || url.find_first_of(" \t\r\n") != std::string::npos) {
    *error = "--pool needs an address such as stratum+tcp://host:port, not '" + url + "'";
    return false;
  }
  const auto hash = url.find('#');
  if (hash == std::string::npos) return true;
  std::size_t hex = 0;
  bool ok = true;
  for (char c : url.substr(hash + 1)) {
    if (c == ':') continue;
    ok = ok && std::isxdigit(static_cast<unsigned char>(c));
    ++hex;
  }
  if (!ok || hex != kFingerprintHexDigits) {
    *error = "the certificate pin after '#' in '" + url +
             "' must be 64 hex digits (SHA-256, colons allowed)";
    return false;
  }
  return true;
}

// [HOST:]PORT with PORT in 1..65535.
bool CheckBind(const std::string& bind, std::string* error) {
  const auto colon = bind.rfind(':');
  const std::string port = colon == std::string::npos ? bind : bind.substr(colon + 1);
  bool digits = !port.empty() && port.size() <= 5;
  for (char c : port) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  const unsigned long value = digits ? std::stoul(port) : 0;
  if (!digits || value > kMaxPort || (colon == 0)) {
    *error =
        "--api-bind takes [HOST:]PORT with PORT from 0 (a free port) to 65535, not '" + bind + "'";
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
    if (options.config_file.empty()) {
      *error = "--config needs a file name";
      return false;
    }
  }
  if (vm.count("pool")) {
    options.pools = vm["pool"].as<std::vector<std::string>>();
    for (const auto& url : options.pools) {
      if (!CheckPool(url, error)) return false;
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
      !ReadSeconds(vm, "watchdog", 0, options.watchdog_s, error)) {
    return false;
  }
  if (vm.count("api-bind")) {
    options.api_bind = vm["api-bind"].as<std::string>();
    if (!CheckBind(*options.api_bind, error)) return false;
  }
  if (vm.count("api-token")) options.api_token = vm["api-token"].as<std::string>();
  return true;
}

std::string OptionsUsage() {
  std::ostringstream out;
  out << "Usage: plominer [options]\n"
      << "Without options the account and pools come from config.txt.\n\n"
      << Describe();
  return out.str();
}

}  // namespace Kest
