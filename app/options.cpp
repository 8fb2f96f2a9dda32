#include "app/options.h"

#include <boost/program_options.hpp>

#include <cctype>
#include <exception>
#include <fstream>
#include <sstream>

#include "app/pool_address.h"

namespace Kest {

namespace po = boost::program_options;

namespace {

constexpr uint32_t kMaxSeconds = 7 * 24 * 3600;  // a week: larger values are typing mistakes

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
      ("response-timeout", po::value<std::string>()->value_name("SECONDS"),        //
       "after a share is written, silence this long gets a ping; as long again "   //
       "and the connection counts as lost (10)")                                   //
      ("api-bind", po::value<std::string>()->value_name("[HOST:]PORT"),            //
       "serve the monitoring interface here (HOST defaults to 127.0.0.1)")         //
      ("api-token", po::value<std::string>()->value_name("TOKEN"),                 //
       "token the monitoring interface asks for")                                  //
      ("api-token-file", po::value<std::string>()->value_name("FILE"),             //
       "the same, from the first line of FILE (not seen in the process list)")     //
      ("watchdog", po::value<std::string>()->value_name("SECONDS"),                //
       "end the miner with status 4 when a device's launch has not returned for "  //
       "this long (0: off; 120)");
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
  return out.str();
}

}  // namespace Kest
