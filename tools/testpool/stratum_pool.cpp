#include "tools/testpool/stratum_pool.h"

#include "tools/testpool/tls_front.h"

#include "app/records.h"
#include "app/utils.h"
#include "pow/peach.h"

#ifndef BOOST_BIND_GLOBAL_PLACEHOLDERS
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#endif
#include <boost/asio.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <vector>

namespace testpool {
namespace {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using ErrorCode = boost::system::error_code;

constexpr std::size_t kMaxClientLine = 64 * 1024;  // a longer client line ends its connection
// A miner drops the connection on a longer line than this: lines after it go unread.
constexpr std::size_t kClientLineLimit = 64 * 1024;
// A client that hangs up may not have read the lines that reached it just before; answers
// written this long before we read its end of stream count as unseen.
constexpr auto kHangUpWindow = std::chrono::seconds(2);
constexpr auto kSplitPause = std::chrono::milliseconds(100);
constexpr std::size_t kNonceBytes = sizeof(BTRAILER::nonce);
constexpr std::size_t kPrefixBytes = 16;
constexpr uint32_t kFrameCount = 10;
constexpr int kTemplatePrefixWords = 4;
constexpr std::size_t kShownLineChars = 120;  // of a bad line, in the event line

// Error codes of the pool's "error" answers.
constexpr int kErrorNotJson = 1;
constexpr int kErrorUnknownMethod = 2;
constexpr int kErrorBadNonce = 21;
constexpr int kErrorDuplicate = 22;
constexpr int kErrorNotSolution = 23;
constexpr int kErrorStale = 24;
constexpr int kErrorRefused = 25;  // --reject-shares

// Chaos bounds.
constexpr auto kChaosTick = std::chrono::seconds(1);
constexpr std::size_t kRecentJobs = 64;  // older jobs a late share is still checked against
constexpr auto kDrainTime = std::chrono::seconds(5);  // a closing connection is read this long
constexpr uint64_t kFirstNewBlockTick = 360;  // a new block (map rebuild) not before this tick
constexpr uint64_t kNewBlockSpacing = 600;    // ticks between new blocks, at least
constexpr unsigned kLongStallMinS = 20;       // a long stall lasts 20 to 40 s
constexpr unsigned kLongStallSpreadS = 21;
constexpr auto kThawDrainTime = std::chrono::seconds(1);  // at exit, after ending long stalls

void Event(const std::string& text) {
  Kest::Print(text + "\n");
}

std::string Base64(const void* bytes, std::size_t size) {
  return base64_encode(static_cast<const unsigned char*>(bytes), static_cast<uint32_t>(size));
}

std::string ErrorLine(int code, const std::string& why) {
  return "{\"error\":" + std::to_string(code) + ",\"des\":\"" + Kest::JsonEscape(why) + "\"}\n";
}

std::string Shown(const std::string& line) {
  if (line.size() <= kShownLineChars) return line;
  return line.substr(0, kShownLineChars) + "... (" + std::to_string(line.size()) + " bytes)";
}

enum class ShareOutcome { kAccepted, kStale, kDuplicate, kBadNonce, kInvalid, kRefused };

// Jobs, templates and the share check; independent of the wire protocol.
class JobBook {
 public:
  explicit JobBook(const StratumPoolOptions& options)
      : options_(options),
        random_(options.seed != 0 ? options.seed : std::random_device{}()),
        prev_hash_random_(options.prev_hash_seed) {
    MakeJob(options_.block, true);
  }

  // Replaces the current job by the next one; returns its line.
  std::string Refresh() {
    const bool new_block = options_.refresh_new_block;
    MakeJob(new_block ? block_ + 1 : options_.refresh_block, new_block);
    return JobLine();
  }

  // Starts the next block: a new previous-block hash; returns the job line.
  std::string NewBlock() {
    MakeJob(block_ + 1, true);
    return JobLine();
  }

  // The current job's line with other values for its fields (for refused-job chaos).
  std::string JobLineWith(const std::string& root, const std::string& diff,
                          const std::string& block) const {
    return "{\"method\":\"mining.notify\",\"root\":" + root + ",\"diff\":" + diff +
           ",\"block\":" + block + "}\n";
  }
  const std::string& text() const { return text_; }

  std::string JobLine() const {
    return "{\"method\":\"mining.notify\",\"root\":\"" + text_ +
           "\",\"diff\":" + std::to_string(options_.diff) + ",\"block\":" + std::to_string(block_) +
           "}\n";
  }

  std::string JobSummary() const {
    return "job " + std::to_string(job_id_) + " (diff " + std::to_string(options_.diff) +
           ", block " + std::to_string(block_) + ")";
  }

  std::string TemplateLine() {
    uint8_t prefix[kPrefixBytes];
    for (auto& byte : prefix) byte = static_cast<uint8_t>(random_());
    const uint32_t frame = static_cast<uint32_t>(random_() % kFrameCount);
    return "{\"method\":\"mining.template\",\"base64_prefix\":\"" + Base64(prefix, kPrefixBytes) +
           "\",\"num_prefix\":" + std::to_string(kTemplatePrefixWords) +
           ",\"frame_id\":" + std::to_string(frame) + "}\n";
  }

  // Checks a submitted nonce against the current job; otherwise sets the error code and the
  // reason. Duplicates are those of the current job, or with chaos those of the whole run; with
  // chaos a solution of one of the recent older jobs is stale rather than invalid.
  ShareOutcome CheckShare(const std::string& nonce_text, int& code, std::string& reason) {
    const std::string nonce = base64_decode(nonce_text);
    ShareOutcome outcome = ShareOutcome::kInvalid;
    if (nonce.size() != kNonceBytes || Base64(nonce.data(), nonce.size()) != nonce_text) {
      code = kErrorBadNonce;
      reason = "bad nonce: not the base64 text of 32 bytes";
      outcome = ShareOutcome::kBadNonce;
    } else if (accepted_nonces_.count(nonce) != 0 || run_nonces_.count(nonce) != 0) {
      code = kErrorDuplicate;
      reason = "duplicate share";
      outcome = ShareOutcome::kDuplicate;
    } else {
      if (options_.chaos) run_nonces_.insert(nonce);
      if (Solves(trailer_, nonce) && options_.reject_shares) {
        accepted_nonces_.insert(nonce);  // a second copy is still a duplicate
        code = kErrorRefused;
        reason = "share refused: this pool accepts none (--reject-shares)";
        ++rejected_;
        return ShareOutcome::kRefused;
      }
      if (Solves(trailer_, nonce)) {
        accepted_nonces_.insert(nonce);
        ++accepted_;
        return ShareOutcome::kAccepted;
      }
      code = kErrorNotSolution;
      reason = "not a solution at difficulty " + std::to_string(options_.diff);
      if (options_.chaos) {
        for (auto job = recent_.rbegin(); job != recent_.rend(); ++job) {
          if (job->first == job_id_ || !Solves(job->second, nonce)) continue;
          code = kErrorStale;
          reason = "stale share: found for job " + std::to_string(job->first) + ", job " +
                   std::to_string(job_id_) + " is current";
          outcome = ShareOutcome::kStale;
          break;
        }
      }
    }
    ++rejected_;
    return outcome;
  }

  void RecordHashRate(const std::string& rate) { last_rate_ = rate; }

  std::string Summary() const {
    return "summary: accepted " + std::to_string(accepted_) + ", rejected " +
           std::to_string(rejected_) + ", last hash rate " + last_rate_;
  }

 private:
  bool Solves(const BTRAILER& trailer, const std::string& nonce) const {
    BTRAILER candidate = trailer;
    std::memcpy(candidate.nonce, nonce.data(), kNonceBytes);
    return peach(&candidate, static_cast<uint32_t>(options_.diff), nullptr) == 0;
  }

  void MakeJob(uint64_t block, bool new_previous_hash) {
    BTRAILER next{};
    if (!options_.zero_trailer) {
      auto* bytes = reinterpret_cast<uint8_t*>(&next);
      for (std::size_t i = 0; i < sizeof(next); ++i) bytes[i] = static_cast<uint8_t>(random_());
      if (!new_previous_hash) {
        std::memcpy(next.phash, trailer_.phash, sizeof(next.phash));
      } else if (options_.prev_hash_seed != 0) {
        for (auto& byte : next.phash) byte = static_cast<uint8_t>(prev_hash_random_());
      }
    }
    trailer_ = next;
    block_ = block;
    text_ = Base64(&trailer_, sizeof(trailer_));
    ++job_id_;
    accepted_nonces_.clear();
    if (options_.chaos) {
      recent_.emplace_back(job_id_, trailer_);
      if (recent_.size() > kRecentJobs) recent_.pop_front();
    }
  }

  const StratumPoolOptions& options_;
  std::mt19937_64 random_;
  std::mt19937_64 prev_hash_random_;  // with a previous-hash seed: the previous-block hashes
  BTRAILER trailer_{};
  uint64_t block_ = 0;
  uint64_t job_id_ = 0;
  std::string text_;
  std::set<std::string> accepted_nonces_;  // of the current job
  std::set<std::string> run_nonces_;       // with chaos: every well-formed nonce received
  std::deque<std::pair<uint64_t, BTRAILER>> recent_;  // with chaos: the latest jobs, by id
  int accepted_ = 0;
  int rejected_ = 0;
  std::string last_rate_ = "none";
};

class Server;

// What the pool saw and did, written to the ledger file at exit.
struct Ledger {
  uint64_t submits = 0;     // submit lines received
  uint64_t accepted = 0;    // solutions of the current job
  uint64_t stale = 0;       // solutions of a recent older job
  uint64_t duplicates = 0;  // nonces received before
  uint64_t invalid = 0;     // not a solution of any recent job
  uint64_t bad_nonce = 0;   // not the base64 text of 32 bytes
  uint64_t error_replies = 0;
  uint64_t connections = 0;
  uint64_t refused = 0;            // closed right after accept
  uint64_t chaos_disconnects = 0;  // connections closed by a disconnect event
  uint64_t garbage_lines = 0;
  uint64_t bad_jobs = 0;  // job lines with a field a miner must refuse
  uint64_t oversized_lines = 0;
  uint64_t stalls = 0;
  uint64_t split_lines = 0;
  uint64_t jobs = 0;  // job announcements after the first, storms included
  uint64_t templates = 0;
  uint64_t new_blocks = 0;
  uint64_t hash_rate_reports = 0;
  uint64_t long_stalls = 0;  // connections frozen (neither read nor written) for a while
  // Per connection, when it ended: submits after the last line the client surely saw (no
  // whole line written after them, or only lines it may not have read: ones after a line over
  // its limit, ones in the last moments before we read its end of stream). A client cannot
  // have seen more of its shares go unanswered.
  uint64_t unanswered = 0;
  uint64_t long_stall_submits = 0;  // per connection, read while or after a long stall on it
  std::vector<std::string> nonces;  // the nonce text of every submit, in the order read

  std::string Text() const {
    std::ostringstream out;
    out << "submits " << submits << "\naccepted " << accepted << "\nstale " << stale
        << "\nduplicates " << duplicates << "\ninvalid " << invalid << "\nbad_nonce " << bad_nonce
        << "\nerror_replies " << error_replies << "\nconnections " << connections << "\nrefused "
        << refused << "\nchaos_disconnects " << chaos_disconnects << "\ngarbage_lines "
        << garbage_lines << "\nbad_jobs " << bad_jobs << "\noversized_lines " << oversized_lines
        << "\nstalls " << stalls << "\nsplit_lines " << split_lines << "\njobs " << jobs
        << "\ntemplates " << templates << "\nnew_blocks " << new_blocks << "\nhash_rate_reports "
        << hash_rate_reports << "\nlong_stalls " << long_stalls << "\nunanswered " << unanswered
        << "\nlong_stall_submits " << long_stall_submits << "\n";
    return out.str();
  }
};

// One client connection. Everything runs on the pool's single I/O thread.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, int number, Server& server)
      : socket_(std::move(socket)),
        pause_(socket_.get_executor()),
        drain_timer_(socket_.get_executor()),
        freeze_timer_(socket_.get_executor()),
        number_(number),
        server_(server) {}

  void Start() { Read(); }
  bool subscribed() const { return subscribed_; }
  bool open() const { return !closed_ && !draining_; }
  bool frozen() const { return frozen_; }

  // Queues one or more lines as one write (several with split writes).
  void Send(const std::string& text);
  void SendError(int code, const std::string& why);
  void Close(const std::string& why);
  // Stops sending and shuts the sending side, but goes on reading (and counting submits)
  // until the client closes or a few seconds pass, so no line the client wrote is lost.
  void Drain(const std::string& why);
  // Freezes the connection for `length`: nothing is read or written, the socket stays open;
  // then what piled up is read and the queued lines go out. False when closing or frozen.
  bool LongStall(std::chrono::milliseconds length);
  // Ends a long stall now.
  void Thaw();
  // Adds this connection's figures to the ledger, once: when it ends, or at exit while open.
  // `client_may_have_missed`: the connection ended other than by our drain, so the client may
  // not have read the last lines written.
  void Record(bool client_may_have_missed);

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Chunk {
    std::string bytes;
    std::chrono::milliseconds pause_before;
    bool answers = true;  // a client that reads this chunk has seen the lines before it
    uint64_t covers = 0;  // submits read when its write began
  };

  void Read();
  void OnRead(const ErrorCode& ec);
  void Answered(uint64_t covers);
  void Settle(TimePoint now);
  void OnLine(const std::string& line);
  void OnSubscribe(const boost::property_tree::ptree& request);
  void OnSubmit(const boost::property_tree::ptree& request);
  void WriteNext();
  void Event(const std::string& text) {
    testpool::Event("connection " + std::to_string(number_) + ": " + text);
  }

  tcp::socket socket_;
  asio::steady_timer pause_;
  asio::steady_timer drain_timer_;
  asio::steady_timer freeze_timer_;
  asio::streambuf input_{kMaxClientLine};
  std::deque<Chunk> outbox_;
  bool writing_ = false;
  bool close_when_sent_ = false;
  bool closed_ = false;
  bool draining_ = false;
  bool write_in_flight_ = false;  // the front of the outbox is being written
  bool write_broken_ = false;     // a write failed: the rest is only read
  bool subscribed_ = false;
  unsigned lines_ = 0;
  int number_;
  Server& server_;

  // Long stall.
  bool frozen_ = false;
  bool long_stalled_ = false;  // a long stall began on this connection
  bool read_parked_ = false;   // a completed read waits for the end of the freeze
  ErrorCode parked_error_;
  bool write_parked_ = false;  // the next write waits for the end of the freeze

  // What the client can have seen answered.
  bool over_limit_queued_ = false;  // a line over the client's limit was queued
  uint64_t submits_read_ = 0;
  uint64_t stall_submits_ = 0;  // read while or after a long stall
  // Whole lines written in the last kHangUpWindow: (when, submits read before the write began);
  // `settled_` covers the older ones.
  std::deque<std::pair<TimePoint, uint64_t>> answers_;
  uint64_t settled_ = 0;
  bool recorded_ = false;
};

// Listener, timers, the set of connections and, with --chaos, the misbehaviour schedule.
class Server {
 public:
  Server(asio::io_context& io, const StratumPoolOptions& options)
      : io_(io),
        options_(options),
        book_(options),
        acceptor_(io),
        listen_timer_(io),
        job_timer_(io),
        template_timer_(io),
        chaos_timer_(io),
        job_storm_timer_(io),
        template_storm_timer_(io),
        schedule_(options.chaos_seed),
        split_random_(options.chaos_seed ^ 0x5851f42d4c957f2dull) {}

  // Binds 127.0.0.1 at the configured port and returns the port; throws when it cannot.
  uint16_t Bind() {
    Open(options_.port);
    port_ = acceptor_.local_endpoint().port();
    if (options_.refuse_s > 0) acceptor_.close();  // reopened once the refusal ends
    return port_;
  }

  void Start() {
    if (options_.refuse_s > 0) {
      testpool::Event("refusing connections for " + std::to_string(options_.refuse_s) + " s");
      listen_timer_.expires_after(std::chrono::seconds(options_.refuse_s));
      listen_timer_.async_wait([this](const ErrorCode& ec) {
        if (ec) return;
        try {
          Open(port_);
        } catch (const std::exception& e) {
          testpool::Event(std::string("cannot listen again: ") + e.what());
          io_.stop();
          return;
        }
        testpool::Event("accepting connections");
        Accept();
      });
    } else {
      Accept();
    }
    Repeat(job_timer_, options_.job_every_s, [this] { NewJob(); });
    Repeat(template_timer_, options_.template_every_s, [this] { NewTemplate(); });
    if (options_.chaos) {
      testpool::Event("chaos with seed " + std::to_string(options_.chaos_seed));
      ChaosTick();
    }
  }

  // Sends every connection a refreshed job.
  void NewJob() {
    const std::string line = book_.Refresh();
    testpool::Event("new " + book_.JobSummary());
    ++ledger_.jobs;
    Broadcast(line);
  }

  // Sends every connection a template.
  void NewTemplate() {
    testpool::Event("new template");
    ++ledger_.templates;
    Broadcast(book_.TemplateLine());
  }

  JobBook& book() { return book_; }
  Ledger& ledger() { return ledger_; }
  const StratumPoolOptions& options() const { return options_; }

  // A connection ended (or the pool is exiting with it open): adds its figures.
  void RecordConnection(uint64_t unanswered, uint64_t stall_submits) {
    ledger_.unanswered += unanswered;
    ledger_.long_stall_submits += stall_submits;
  }

  // A submit was read (the forced first long stall counts from the first one).
  void NoteSubmit() {
    if (!submit_seen_) first_submit_tick_ = tick_;
    submit_seen_ = true;
  }

  // Ends every long stall and starts no other; true when there was one (what piled up is
  // still to be read).
  bool ThawAll() {
    exiting_ = true;
    long_stall_until_ = {};
    bool any = false;
    for (auto& weak : every_session_) {
      auto session = weak.lock();
      if (!session || !session->frozen()) continue;
      session->Thaw();
      any = true;
    }
    return any;
  }

  // At exit: adds the figures of the connections still open.
  void RecordOpenConnections() {
    for (auto& weak : every_session_) {
      if (auto session = weak.lock()) session->Record(true);
    }
  }

  // Until when writes are held back (a chaos stall); in the past when they are not.
  std::chrono::steady_clock::time_point stalled_until() const { return stalled_until_; }

  // With chaos split writes in force: cuts `text` into pieces with pauses between them and
  // returns true; otherwise false.
  bool SplitForChaos(const std::string& text,
                     std::vector<std::pair<std::string, std::chrono::milliseconds>>& pieces) {
    if (split_lines_left_ == 0 || text.size() < 2) return false;
    --split_lines_left_;
    ++ledger_.split_lines;
    const std::size_t count = std::min<std::size_t>(2 + split_random_() % 5, text.size());
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < count; ++i) cuts.push_back(1 + split_random_() % (text.size() - 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
      const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
      const auto pause =
          std::chrono::milliseconds(i == 0 ? 0 : static_cast<long>(5 + split_random_() % 150));
      pieces.emplace_back(text.substr(from, to - from), pause);
      from = to;
    }
    return true;
  }

  void WriteLedger() const {
    if (options_.ledger_path.empty()) return;
    std::ofstream out(options_.ledger_path, std::ios::trunc);
    out << ledger_.Text();
    for (const auto& nonce : ledger_.nonces) out << "nonce " << nonce << "\n";
    if (!out.flush()) testpool::Event("cannot write the ledger to " + options_.ledger_path);
  }

 private:
  void Open(uint16_t port) {
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
  }

  void Accept() {
    acceptor_.async_accept([this](const ErrorCode& ec, tcp::socket socket) {
      if (ec) return;
      ErrorCode peer_error;
      const auto peer = socket.remote_endpoint(peer_error);
      const int number = ++connections_;
      ++ledger_.connections;
      testpool::Event("connection " + std::to_string(number) + " from " +
                      (peer_error
                           ? std::string("?")
                           : peer.address().to_string() + ":" + std::to_string(peer.port())));
      auto session = std::make_shared<Session>(std::move(socket), number, *this);
      sessions_.push_back(session);
      every_session_.erase(
          std::remove_if(every_session_.begin(), every_session_.end(),
                         [](const std::weak_ptr<Session>& weak) { return weak.expired(); }),
          every_session_.end());
      every_session_.push_back(session);
      session->Start();
      const auto now = std::chrono::steady_clock::now();
      if (long_stall_until_ > now &&
          session->LongStall(
              std::chrono::duration_cast<std::chrono::milliseconds>(long_stall_until_ - now))) {
        ++ledger_.long_stalls;
      }
      if (refuse_next_ > 0) {
        --refuse_next_;
        ++ledger_.refused;
        session->Drain("refused by chaos");
      }
      Accept();
    });
  }

  void Broadcast(const std::string& line) {
    std::vector<std::weak_ptr<Session>> alive;
    for (auto& weak : sessions_) {
      auto session = weak.lock();
      if (!session || !session->open()) continue;
      if (session->subscribed()) session->Send(line);
      alive.push_back(weak);
    }
    sessions_.swap(alive);
  }

  void Repeat(asio::steady_timer& timer, unsigned seconds, std::function<void()> action) {
    if (seconds == 0) return;
    timer.expires_after(std::chrono::seconds(seconds));
    timer.async_wait([this, &timer, seconds, action](const ErrorCode& ec) {
      if (ec) return;
      action();
      Repeat(timer, seconds, action);
    });
  }

  // `count` actions `spacing` apart on `timer`.
  void Storm(asio::steady_timer& timer, unsigned count, std::chrono::milliseconds spacing,
             std::function<void()> action) {
    if (count == 0) return;
    action();
    timer.expires_after(spacing);
    timer.async_wait([this, &timer, count, spacing, action](const ErrorCode& ec) {
      if (!ec) Storm(timer, count - 1, spacing, action);
    });
  }

  // One chaos step per second. Every tick draws the same three numbers whether or not it acts,
  // so for a seed the n-th tick always does the same thing; only timing differs between runs.
  void ChaosTick() {
    chaos_timer_.expires_after(kChaosTick);
    chaos_timer_.async_wait([this](const ErrorCode& ec) {
      if (ec) return;
      ++tick_;
      const uint64_t roll = schedule_() % 100;
      const uint64_t a = schedule_();
      const uint64_t b = schedule_();
      if (options_.first_long_stall_s > 0 && !first_long_stall_done_ && submit_seen_ &&
          tick_ >= first_submit_tick_ + options_.first_long_stall_s) {
        first_long_stall_done_ = LongStall(a) > 0;  // else again next tick
      } else if (tick_ >= quiet_until_) {
        ChaosAction(roll, a, b);
      }
      ChaosTick();
    });
  }

  void Quiet(uint64_t ticks) { quiet_until_ = tick_ + ticks; }
  void ChaosEvent(const std::string& what) {
    testpool::Event("chaos " + std::to_string(tick_) + ": " + what);
  }

  void ChaosAction(uint64_t roll, uint64_t a, uint64_t b) {
    using std::chrono::milliseconds;
    if (roll < 5) {
      int closed = 0;
      for (auto& weak : sessions_) {
        auto session = weak.lock();
        if (!session || !session->open()) continue;
        session->Drain("chaos disconnect");
        ++closed;
      }
      ledger_.chaos_disconnects += static_cast<uint64_t>(closed);
      ChaosEvent("disconnect (" + std::to_string(closed) + " connections)");
      Quiet(10 + a % 10);
    } else if (roll < 11) {
      const std::string line = GarbageLine(a, b);
      ChaosEvent("garbage line (" + std::to_string(line.size()) + " bytes)");
      ++ledger_.garbage_lines;
      Broadcast(line);
    } else if (roll < 15) {
      // Mostly over the miner's 64 KiB line limit (it reconnects), sometimes just under it.
      const std::size_t size = (a % 4 == 0) ? 60 * 1024 : 64 * 1024 + 1 + a % (64 * 1024);
      ChaosEvent("oversized line (" + std::to_string(size) + " bytes)");
      ++ledger_.oversized_lines;
      Broadcast(std::string(size, static_cast<char>('a' + b % 26)) + "\n");
      Quiet(5 + b % 5);
    } else if (roll < 20) {
      const auto stall = std::chrono::seconds(2 + a % 7);
      stalled_until_ = std::chrono::steady_clock::now() + stall;
      ChaosEvent("stall for " + std::to_string(stall.count()) + " s");
      ++ledger_.stalls;
      Quiet(static_cast<uint64_t>(stall.count()) + 5);
    } else if (roll < 26) {
      split_lines_left_ += 5 + a % 16;
      ChaosEvent("split writes for the next " + std::to_string(split_lines_left_) + " lines");
    } else if (roll < 32) {
      const unsigned count = static_cast<unsigned>(3 + a % 13);
      ChaosEvent("job storm of " + std::to_string(count));
      Storm(job_storm_timer_, count, milliseconds(100 + b % 300), [this] { NewJob(); });
      Quiet(5);
    } else if (roll < 37) {
      const unsigned count = static_cast<unsigned>(3 + a % 13);
      ChaosEvent("template storm of " + std::to_string(count));
      Storm(template_storm_timer_, count, milliseconds(50 + b % 150), [this] { NewTemplate(); });
    } else if (roll < 41) {
      refuse_next_ = static_cast<unsigned>(1 + a % 2);
      ChaosEvent("refusing the next " + std::to_string(refuse_next_) + " connections");
    } else if (roll < 43 && tick_ >= kFirstNewBlockTick &&
               (last_new_block_ == 0 || tick_ - last_new_block_ >= kNewBlockSpacing)) {
      last_new_block_ = tick_;
      const std::string line = book_.NewBlock();
      ChaosEvent("new block, " + book_.JobSummary());
      ++ledger_.new_blocks;
      Broadcast(line);
      Quiet(20);
    } else if (roll >= 43 && roll < 47 && a % 2 == 0) {
      LongStall(b);  // one active tick in 50: every few minutes, counting the quiet ticks
    }
  }

  // Freezes every open connection, and those accepted until it ends (a pool that hangs with
  // its sockets open: the system still completes connections, nothing answers them), then
  // stays quiet a while after it. Returns how many it froze at once.
  int LongStall(uint64_t draw) {
    if (exiting_) return 0;
    const unsigned seconds = options_.long_stall_s > 0
                                 ? options_.long_stall_s
                                 : kLongStallMinS + static_cast<unsigned>(draw % kLongStallSpreadS);
    long_stall_until_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int frozen = 0;
    for (auto& weak : sessions_) {
      auto session = weak.lock();
      if (session && session->LongStall(std::chrono::seconds(seconds))) ++frozen;
    }
    ledger_.long_stalls += static_cast<uint64_t>(frozen);
    ChaosEvent("long stall for " + std::to_string(seconds) + " s (" + std::to_string(frozen) +
               " connections)");
    Quiet(seconds + 10);
    return frozen;
  }

  // A line a miner must survive and ignore: random bytes, terminal control sequences, broken
  // JSON, or a job with a field it must refuse (the current job stays valid).
  std::string GarbageLine(uint64_t a, uint64_t b) {
    std::mt19937_64 random(a);
    const std::string& root = book_.text();
    switch (b % 10) {
      case 0: {
        std::string bytes(1 + random() % 300, '\0');
        for (auto& c : bytes) {
          c = static_cast<char>(random());
          if (c == '\n') c = ' ';
        }
        return bytes + "\n";
      }
      case 1: {
        static const char kFake[] =
            "\x1b[2J\x1b[HReceived new work! Share diff: 1 | Block:9\r\x07\0tail\n";
        return std::string(kFake, sizeof(kFake) - 1);
      }
      case 2:
        return "{\"method\":\"message\",\"value\":\"\\u001b[2J\\r\\u0000fake\"}\n";
      case 3:
        return "{\"method\":\"mining.notify\",\"root\":\"" +
               root.substr(0, random() % root.size()) + "\n";
      case 4:
        ++ledger_.bad_jobs;
        return book_.JobLineWith("\"" + root + "\"", (random() & 1) ? "256" : "-1", "0");
      case 5:
        ++ledger_.bad_jobs;
        return book_.JobLineWith((random() & 1) ? "null" : "12345", "1", "0");
      case 6: {
        ++ledger_.bad_jobs;
        std::string bad = root;
        bad[random() % bad.size()] = "*!~ "[random() % 4];
        return book_.JobLineWith("\"" + bad + "\"", "1", "0");
      }
      case 7:
        ++ledger_.bad_jobs;
        return book_.JobLineWith("\"" + root.substr(0, 100) + "\"", "1", "0");
      case 8:
        return "{\"error\":" + std::to_string(random() % 100000) + ",\"des\":\"chaos\"}\n";
      default:
        return "{\"method\":\"mining.chaos\",\"n\":" + std::to_string(random() % 1000) + "}\n";
    }
  }

  asio::io_context& io_;
  const StratumPoolOptions& options_;
  JobBook book_;
  tcp::acceptor acceptor_;
  asio::steady_timer listen_timer_;
  asio::steady_timer job_timer_;
  asio::steady_timer template_timer_;
  asio::steady_timer chaos_timer_;
  asio::steady_timer job_storm_timer_;
  asio::steady_timer template_storm_timer_;
  uint16_t port_ = 0;
  int connections_ = 0;
  std::vector<std::weak_ptr<Session>> sessions_;       // open ones, pruned by broadcasts
  std::vector<std::weak_ptr<Session>> every_session_;  // until destroyed, draining ones too
  Ledger ledger_;

  std::mt19937_64 schedule_;      // chaos events, three draws per tick
  std::mt19937_64 split_random_;  // cut points and pauses of split writes
  uint64_t tick_ = 0;
  uint64_t quiet_until_ = 0;  // no chaos event before this tick
  uint64_t last_new_block_ = 0;
  unsigned refuse_next_ = 0;
  bool submit_seen_ = false;
  uint64_t first_submit_tick_ = 0;
  bool first_long_stall_done_ = false;
  bool exiting_ = false;
  std::chrono::steady_clock::time_point long_stall_until_{};  // new connections freeze too
  std::size_t split_lines_left_ = 0;
  std::chrono::steady_clock::time_point stalled_until_{};
};

void Session::Send(const std::string& text) {
  if (closed_ || draining_ || write_broken_) return;
  for (std::size_t from = 0; from < text.size() && !over_limit_queued_;) {
    std::size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    over_limit_queued_ = end - from > kClientLineLimit;
    from = end + 1;
  }
  const bool answers = !over_limit_queued_;
  std::vector<std::pair<std::string, std::chrono::milliseconds>> pieces;
  if (server_.SplitForChaos(text, pieces)) {
    for (auto& piece : pieces) outbox_.push_back({std::move(piece.first), piece.second, answers});
  } else if (server_.options().split_lines && text.size() > 1) {
    const std::size_t half = text.size() / 2;
    outbox_.push_back({text.substr(0, half), std::chrono::milliseconds(0), answers});
    outbox_.push_back({text.substr(half), kSplitPause, answers});
  } else {
    outbox_.push_back({text, std::chrono::milliseconds(0), answers});
  }
  if (!writing_) WriteNext();
}

void Session::SendError(int code, const std::string& why) {
  if (!open()) return;
  ++server_.ledger().error_replies;
  Send(ErrorLine(code, why));
}

void Session::Close(const std::string& why) {
  if (closed_) return;
  closed_ = true;
  ErrorCode ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  pause_.cancel();
  drain_timer_.cancel();
  freeze_timer_.cancel();
  frozen_ = false;
  Record(!draining_);
  Event("closed (" + why + ")");
}

void Session::Drain(const std::string& why) {
  if (closed_ || draining_) return;
  Thaw();  // what piled up during a long stall is read and counted first
  if (closed_) return;
  draining_ = true;
  // A chunk being written stays alive until its write completes.
  while (outbox_.size() > (write_in_flight_ ? 1u : 0u)) outbox_.pop_back();
  pause_.cancel();
  ErrorCode ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
  Event("closing (" + why + ")");
  auto self = shared_from_this();
  drain_timer_.expires_after(kDrainTime);
  drain_timer_.async_wait([this, self, why](const ErrorCode& ec) {
    if (!ec) Close(why + ", client silent");
  });
}

bool Session::LongStall(std::chrono::milliseconds length) {
  if (!open() || frozen_) return false;
  frozen_ = true;
  long_stalled_ = true;
  Event("long stall for " + std::to_string((length.count() + 999) / 1000) + " s");
  auto self = shared_from_this();
  freeze_timer_.expires_after(length);
  freeze_timer_.async_wait([this, self](const ErrorCode& ec) {
    if (!ec) Thaw();
  });
  return true;
}

void Session::Thaw() {
  if (!frozen_ || closed_) return;
  frozen_ = false;
  freeze_timer_.cancel();
  Event("long stall over");
  if (read_parked_) {
    read_parked_ = false;
    OnRead(parked_error_);
  }
  if (!closed_ && write_parked_) {
    write_parked_ = false;
    WriteNext();
  }
}

void Session::Answered(uint64_t covers) {
  const auto now = std::chrono::steady_clock::now();
  answers_.emplace_back(now, covers);
  Settle(now);
}

void Session::Settle(TimePoint now) {
  while (!answers_.empty() && now - answers_.front().first >= kHangUpWindow) {
    settled_ = std::max(settled_, answers_.front().second);
    answers_.pop_front();
  }
}

void Session::Record(bool client_may_have_missed) {
  if (recorded_) return;
  recorded_ = true;
  uint64_t answered = settled_;
  if (client_may_have_missed) {
    Settle(std::chrono::steady_clock::now());
    answered = settled_;
  } else if (!answers_.empty()) {
    answered = std::max(settled_, answers_.back().second);
  }
  const uint64_t unanswered = submits_read_ - std::min(answered, submits_read_);
  server_.RecordConnection(unanswered, stall_submits_);
  if (submits_read_ > 0) {
    Event(std::to_string(submits_read_) + " submits, " + std::to_string(unanswered) +
          " unanswered, " + std::to_string(stall_submits_) + " read after a long stall");
  }
}

void Session::Read() {
  auto self = shared_from_this();
  asio::async_read_until(socket_, input_, '\n', [this, self](const ErrorCode& ec, std::size_t) {
    if (closed_) return;
    if (frozen_) {  // the line waits, and the socket's buffers fill, until the stall ends
      read_parked_ = true;
      parked_error_ = ec;
      return;
    }
    OnRead(ec);
  });
}

void Session::OnRead(const ErrorCode& ec) {
  if (ec == asio::error::not_found) {
    Close("line longer than " + std::to_string(kMaxClientLine) + " bytes");
    return;
  }
  if (ec) {
    Close(ec == asio::error::eof ? "by the client" : ec.message());
    return;
  }
  std::istream in(&input_);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!line.empty()) OnLine(line);
  if (!closed_) Read();
}

void Session::OnLine(const std::string& line) {
  ++lines_;
  boost::property_tree::ptree request;
  bool parsed = true;
  try {
    std::istringstream in(line);
    boost::property_tree::read_json(in, request);
  } catch (const std::exception&) {
    parsed = false;
  }
  const std::string method = parsed ? request.get("method", "") : "";
  if (!parsed) {
    Event("not JSON: " + Shown(line));
    SendError(kErrorNotJson, "not JSON");
  } else if (method == "subscribe") {
    OnSubscribe(request);
  } else if (method == "ping") {
    Event("ping");
    Send("{\"method\":\"pong\"}\n");
  } else if (method == "submit") {
    OnSubmit(request);
  } else if (method == "mining.update_hr") {
    const std::string rate = request.get("hr", "");
    server_.book().RecordHashRate(rate);
    ++server_.ledger().hash_rate_reports;
    Event("hash rate " + rate);
  } else if (method == "mining.xtemplate") {
    Event("template requested");
    Send(server_.book().TemplateLine());
  } else {
    Event("unknown request: " + Shown(line));
    SendError(kErrorUnknownMethod, "unknown method");
  }

  const unsigned close_after = server_.options().close_after;
  if (close_after > 0 && lines_ >= close_after && !closed_) {
    close_when_sent_ = true;
    if (!writing_ && outbox_.empty()) Close("after " + std::to_string(lines_) + " lines");
  }
}

void Session::OnSubscribe(const boost::property_tree::ptree& request) {
  const auto& options = server_.options();
  Event("subscribe account=" + request.get("account", ""));
  const bool first = !subscribed_;
  subscribed_ = true;
  if (first && options.bad_line) Send("this line is not JSON\n");
  if (first && options.oversized > 0) Send(std::string(options.oversized, 'x') + "\n");
  std::string reply = server_.book().JobLine();
  if (first && options.pair_lines) reply += server_.book().TemplateLine();
  Send(reply);
  Event("sent " + server_.book().JobSummary() +
        (first && options.pair_lines ? " and a template" : ""));
}

void Session::OnSubmit(const boost::property_tree::ptree& request) {
  int code = 0;
  std::string reason;
  Ledger& ledger = server_.ledger();
  ++ledger.submits;
  ++submits_read_;
  if (long_stalled_) ++stall_submits_;
  server_.NoteSubmit();
  const std::string nonce = request.get("nonce", "");
  ledger.nonces.push_back(Shown(nonce));
  const ShareOutcome outcome = server_.book().CheckShare(nonce, code, reason);
  switch (outcome) {
    case ShareOutcome::kAccepted:
      ++ledger.accepted;
      break;
    case ShareOutcome::kStale:
      ++ledger.stale;
      break;
    case ShareOutcome::kDuplicate:
      ++ledger.duplicates;
      break;
    case ShareOutcome::kBadNonce:
      ++ledger.bad_nonce;
      break;
    case ShareOutcome::kInvalid:
      ++ledger.invalid;
      break;
    case ShareOutcome::kRefused:  // --reject-shares: counted with the rejected ones only
      break;
  }
  const char* draining = draining_ ? " (connection closing: no answer)" : "";
  if (outcome == ShareOutcome::kAccepted) {
    Event(std::string("share accepted") + draining);
    Send("{\"method\":\"message\",\"value\":\"share accepted\"}\n");
  } else {
    Event("share rejected: " + reason + draining);
    SendError(code, reason);
  }
}

void Session::WriteNext() {
  if (closed_ || draining_ || write_broken_) return;
  if (outbox_.empty()) {
    writing_ = false;
    if (close_when_sent_) Close("after " + std::to_string(lines_) + " lines");
    return;
  }
  writing_ = true;
  if (frozen_) {
    write_parked_ = true;
    return;
  }
  auto self = shared_from_this();
  const auto now = std::chrono::steady_clock::now();
  if (server_.stalled_until() > now) {
    pause_.expires_at(server_.stalled_until());
    pause_.async_wait([this, self](const ErrorCode& ec) {
      if (!ec) WriteNext();
    });
    return;
  }
  auto write = [this, self] {
    if (closed_ || draining_) return;
    if (frozen_) {
      write_parked_ = true;
      return;
    }
    write_in_flight_ = true;
    outbox_.front().covers = submits_read_;
    asio::async_write(socket_, asio::buffer(outbox_.front().bytes),
                      [this, self](const ErrorCode& ec, std::size_t) {
                        write_in_flight_ = false;
                        if (closed_ || draining_) return;
                        if (ec) {
                          // The client is gone or going: write no more, but read what it
                          // wrote before (until its end of stream).
                          write_broken_ = true;
                          writing_ = false;
                          outbox_.clear();
                          Event("cannot write (" + ec.message() + "); reading what is left");
                          return;
                        }
                        const Chunk& sent = outbox_.front();
                        if (sent.answers && sent.bytes.find('\n') != std::string::npos) {
                          Answered(sent.covers);
                        }
                        outbox_.pop_front();
                        WriteNext();
                      });
  };
  const auto pause = outbox_.front().pause_before;
  if (pause.count() > 0) {
    pause_.expires_after(pause);
    pause_.async_wait([write](const ErrorCode& ec) {
      if (!ec) write();
    });
  } else {
    write();
  }
}

// Decimal option value; false unless the whole text is a number that fits.
bool ParseNumber(const char* text, uint64_t max, uint64_t& value) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

}  // namespace

std::string StratumPoolUsage() {
  return "usage: plo-testpool [options]\n"
         "  --port N              port on 127.0.0.1 (default 0: a free one)\n"
         "  --diff N              share difficulty (default 8)\n"
         "  --block N             block number of the first job (default 1)\n"
         "  --job-every S         issue a new job every S seconds\n"
         "  --refresh-block N     block number of refreshed jobs (default 0; their previous-block\n"
         "                        hash stays, so a miner keeps its map)\n"
         "  --refresh-new-block   refreshed jobs start a new block (new previous hash)\n"
         "  --template-every S    send a template every S seconds\n"
         "  --duration S          end after S seconds (default: at SIGINT/SIGTERM)\n"
         "  --zero-trailer        jobs carry an all-zero trailer\n"
         "  --seed N              random seed\n"
         "  --prev-hash-seed N    previous-block hashes (first job, new blocks) from seed N:\n"
         "                        pools given the same N share them, so a miner moving\n"
         "                        between them keeps its map\n"
         "fault injection:\n"
         "  --refuse-for S        do not listen during the first S seconds\n"
         "  --close-after N       close a connection after answering its N-th line\n"
         "  --split-lines         send every line in two writes\n"
         "  --pair-lines          send the first job and a template in one write\n"
         "  --bad-line            send a non-JSON line before the first job\n"
         "  --oversized BYTES     send a line of BYTES bytes before the first job\n"
         "  --reject-shares       answer every good share with an error reply (a pool that\n"
         "                        credits nothing)\n"
         "TLS:\n"
         "  --tls                 serve TLS with a certificate made at start (fingerprint "
         "printed)\n"
         "  --cert FILE --key FILE  serve TLS with this PEM certificate chain and key\n"
         "soak testing:\n"
         "  --chaos SEED          misbehave at random, repeatably for a seed (except timing):\n"
         "                        disconnects, refused connections, garbage and oversized\n"
         "                        lines, jobs a miner must refuse, stalls, split writes, job\n"
         "                        and template storms, every few minutes a long stall (20 to\n"
         "                        40 s of neither reading nor writing, sockets open), rarely\n"
         "                        a new block; bounded so that a miner can still mine. Late\n"
         "                        shares of recent jobs count as stale, a nonce seen before\n"
         "                        in the run as a duplicate\n"
         "  --long-stall-s S      long stalls last S seconds\n"
         "  --first-long-stall S  with --chaos, a long stall S seconds after the first submit\n"
         "  --ledger FILE         write the ledger to FILE at exit: submits received,\n"
         "                        duplicates, accepted, stale, invalid, what the chaos did,\n"
         "                        per-connection sums of the submits the client cannot have\n"
         "                        seen answered (unanswered) and of those read while or after\n"
         "                        a long stall (long_stall_submits), then a \"nonce TEXT\"\n"
         "                        line per submit\n"
         "signals: SIGUSR1 sends a new job now, SIGUSR2 a template now; SIGINT/SIGTERM stop\n";
}

bool ParseStratumPoolOptions(int argc, char** argv, StratumPoolOptions& options,
                             std::string& error) {
  const uint64_t kMaxSeconds = 24 * 3600;
  const uint64_t kMaxLine = 64ull * 1024 * 1024;
  const std::map<std::string, bool*> flags = {
      {"--refresh-new-block", &options.refresh_new_block},
      {"--zero-trailer", &options.zero_trailer},
      {"--split-lines", &options.split_lines},
      {"--pair-lines", &options.pair_lines},
      {"--bad-line", &options.bad_line},
      {"--reject-shares", &options.reject_shares},
  };
  const std::map<std::string, std::function<void(uint64_t)>> setters = {
      {"--port", [&](uint64_t v) { options.port = static_cast<uint16_t>(v); }},
      {"--diff", [&](uint64_t v) { options.diff = static_cast<int32_t>(v); }},
      {"--block", [&](uint64_t v) { options.block = v; }},
      {"--refresh-block", [&](uint64_t v) { options.refresh_block = v; }},
      {"--job-every", [&](uint64_t v) { options.job_every_s = static_cast<unsigned>(v); }},
      {"--template-every",
       [&](uint64_t v) { options.template_every_s = static_cast<unsigned>(v); }},
      {"--duration", [&](uint64_t v) { options.duration_s = static_cast<unsigned>(v); }},
      {"--seed", [&](uint64_t v) { options.seed = v; }},
      {"--refuse-for", [&](uint64_t v) { options.refuse_s = static_cast<unsigned>(v); }},
      {"--close-after", [&](uint64_t v) { options.close_after = static_cast<unsigned>(v); }},
      {"--oversized", [&](uint64_t v) { options.oversized = static_cast<std::size_t>(v); }},
      {"--chaos",
       [&](uint64_t v) {
         options.chaos = true;
         options.chaos_seed = v;
       }},
      {"--prev-hash-seed", [&](uint64_t v) { options.prev_hash_seed = v; }},
      {"--long-stall-s", [&](uint64_t v) { options.long_stall_s = static_cast<unsigned>(v); }},
      {"--first-long-stall",
       [&](uint64_t v) { options.first_long_stall_s = static_cast<unsigned>(v); }},
  };
  const std::map<std::string, uint64_t> limits = {
      {"--port", 65535},
      {"--diff", 255},
      {"--block", UINT64_MAX},
      {"--refresh-block", UINT64_MAX},
      {"--job-every", kMaxSeconds},
      {"--template-every", kMaxSeconds},
      {"--duration", kMaxSeconds},
      {"--seed", UINT64_MAX},
      {"--refuse-for", kMaxSeconds},
      {"--close-after", UINT32_MAX},
      {"--oversized", kMaxLine},
      {"--chaos", UINT64_MAX},
      {"--prev-hash-seed", UINT64_MAX},
      {"--long-stall-s", kMaxSeconds},
      {"--first-long-stall", kMaxSeconds},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--tls") {
      options.tls = true;
      continue;
    }
    if (name == "--cert" || name == "--key") {
      if (i + 1 >= argc) {
        error = "option " + name + " needs a file";
        return false;
      }
      (name == "--cert" ? options.cert_file : options.key_file) = argv[++i];
      options.tls = true;
      continue;
    }
    if (name == "--ledger") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        error = "option --ledger needs a file name";
        return false;
      }
      options.ledger_path = argv[++i];
      continue;
    }
    const auto flag = flags.find(name);
    if (flag != flags.end()) {
      *flag->second = true;
      continue;
    }
    const auto setter = setters.find(name);
    if (setter == setters.end()) {
      error = "unknown option " + name;
      return false;
    }
    uint64_t value = 0;
    if (i + 1 >= argc || !ParseNumber(argv[i + 1], limits.at(name), value)) {
      error = "option " + name + " needs a number up to " + std::to_string(limits.at(name));
      return false;
    }
    setter->second(value);
    ++i;
  }
  if (options.cert_file.empty() != options.key_file.empty()) {
    error = "--cert and --key go together";
    return false;
  }
  return true;
}

int RunStratumPool(int argc, char** argv) {
  StratumPoolOptions options;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      Kest::Print(StratumPoolUsage());
      return 0;
    }
  }
  if (!ParseStratumPoolOptions(argc, argv, options, error)) {
    Kest::Print(error + "\n" + StratumPoolUsage());
    return 2;
  }

  asio::io_context io;
  // With TLS the pool itself listens on a free port and the TLS front on the one asked for.
  StratumPoolOptions plain = options;
  if (options.tls) plain.port = 0;
  Server server(io, plain);
  std::unique_ptr<TlsFront> tls;
  uint16_t port = 0;
  try {
    port = server.Bind();
    if (options.tls) {
      tls = options.cert_file.empty()
                ? std::make_unique<TlsFront>(io, options.port, port)
                : std::make_unique<TlsFront>(io, options.port, port, options.cert_file,
                                             options.key_file);
      port = tls->port();
      Event("TLS certificate SHA-256 " + tls->fingerprint());
      tls->Start();
    }
  } catch (const std::exception& e) {
    Event("cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + e.what());
    return 2;
  }
  Event("listening on 127.0.0.1:" + std::to_string(port));

  // A connection in a long stall is thawed first and read a moment, so that the submits that
  // piled up on it still reach the ledger.
  asio::steady_timer thaw_drain(io);
  auto stop = [&io, &server, &thaw_drain] {
    if (!server.ThawAll()) {
      io.stop();
      return;
    }
    thaw_drain.expires_after(kThawDrainTime);
    thaw_drain.async_wait([&io](const ErrorCode&) { io.stop(); });
  };
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&stop](const ErrorCode& ec, int signal) {
    if (ec) return;
    Event(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    stop();
  });
  asio::steady_timer end(io);
  if (options.duration_s > 0) {
    end.expires_after(std::chrono::seconds(options.duration_s));
    end.async_wait([&stop](const ErrorCode& ec) {
      if (ec) return;
      Event("duration over");
      stop();
    });
  }

  // SIGUSR1 sends a new job now, SIGUSR2 a template now (for tests and demonstrations).
  asio::signal_set on_demand(io, SIGUSR1, SIGUSR2);
  std::function<void()> wait_on_demand = [&] {
    on_demand.async_wait([&](const ErrorCode& ec, int signal) {
      if (ec) return;
      if (signal == SIGUSR1) {
        server.NewJob();
      } else {
        server.NewTemplate();
      }
      wait_on_demand();
    });
  };
  wait_on_demand();

  server.Start();
  io.run();
  server.RecordOpenConnections();
  Event(server.book().Summary());
  if (options.chaos) {
    std::string ledger = server.ledger().Text();
    for (auto& c : ledger) {
      if (c == '\n') c = ',';
    }
    Event("ledger: " + ledger);
  }
  server.WriteLedger();
  return 0;
}

}  // namespace testpool
