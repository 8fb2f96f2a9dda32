// Stratum test pool: a real pool on 127.0.0.1 for tests and demonstrations. It hands out jobs
// made from random trailers, checks every submitted nonce with the CPU proof of work, answers
// pings and template requests, records hash-rate reports, and can misbehave on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testpool {

struct StratumPoolOptions {
  uint16_t port = 0;               // 0: any free port
  int32_t diff = 8;                // share difficulty of every job
  uint64_t block = 1;              // block number of the first job
  uint64_t refresh_block = 0;      // block number of refreshed jobs (the previous-block hash stays)
  bool refresh_new_block = false;  // refreshed jobs start a new block (new previous hash)
  unsigned job_every_s = 0;        // issue a new job this often (0: never)
  unsigned template_every_s = 0;   // send a template this often (0: only on request)
  unsigned duration_s = 0;         // end after this long (0: at SIGINT or SIGTERM)
  bool zero_trailer = false;       // jobs carry an all-zero trailer instead of a random one
  uint64_t seed = 0;               // random seed (0: from the system)
  // Seed of the previous-block hashes (the first job's and each new block's; 0: drawn with the
  // rest of the trailer): pools given the same one share them, so a miner moving between them
  // keeps its map.
  uint64_t prev_hash_seed = 0;

  // Fault injection.
  unsigned refuse_s = 0;       // do not listen during the first seconds
  unsigned close_after = 0;    // close a connection after answering its N-th line
  bool split_lines = false;    // every line goes out in two writes
  bool pair_lines = false;     // the first job and a template go out in one write
  bool bad_line = false;       // a non-JSON line precedes the first job
  std::size_t oversized = 0;   // a line of this many bytes precedes the first job
  bool reject_shares = false;  // every good share gets an error reply all the same

  // TLS: serve through a TLS front with a certificate generated at start, or the given PEM
  // files.
  bool tls = false;
  std::string cert_file;
  std::string key_file;

  // Chaos (soak testing): seeded random misbehaviour, bounded so that a miner can still mine.
  bool chaos = false;
  uint64_t chaos_seed = 0;
  unsigned long_stall_s = 0;        // length of every long stall (0: drawn, 20 to 40 s)
  unsigned first_long_stall_s = 0;  // a long stall this long after the first submit (0: none)
  std::string ledger_path;          // where the ledger of received submits is written at exit
};

// Reads the command line (argv[0] is skipped). False with `error` set for a bad option.
bool ParseStratumPoolOptions(int argc, char** argv, StratumPoolOptions& options,
                             std::string& error);

// Help text listing the options.
std::string StratumPoolUsage();

// Runs the pool until its duration ends or SIGINT/SIGTERM arrives. Prints
// "listening on 127.0.0.1:PORT" first, one line per event, and a summary at the end.
// Returns 0, or 2 for bad options or a port that cannot be bound.
int RunStratumPool(int argc, char** argv);

}  // namespace testpool
