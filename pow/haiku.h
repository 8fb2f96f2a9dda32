// Haiku dictionary and syntax frames. A nonce is two 16-byte haikus; each byte is a word code
// (an index into `Dict`), and each haiku must fit one of the ten frames of `Frame`.
#pragma once

#include <cstdint>

// Feature flags of dictionary words (also the masks used by frame slots).
constexpr uint32_t F_ING = 0x0001;     // verbs in -ing form
constexpr uint32_t F_INF = 0x0002;     // verbs in bare infinitive form
constexpr uint32_t F_MOVE = 0x0004;    // verbs of motion
constexpr uint32_t F_NS = 0x0008;      // singular nouns
constexpr uint32_t F_NPL = 0x0010;     // plural nouns
constexpr uint32_t F_MASS = 0x0020;    // mass nouns
constexpr uint32_t F_AMB = 0x0040;     // ambience words
constexpr uint32_t F_TIMED = 0x0080;   // times of day
constexpr uint32_t F_SEASON = 0x0100;  // seasons and the equinox
constexpr uint32_t F_TIME = F_TIMED | F_SEASON;
constexpr uint32_t F_LOC_AT = 0x0200;    // places marked for "at"
constexpr uint32_t F_LOC_ON = 0x0400;    // places marked for "on"
constexpr uint32_t F_LOC_IN = 0x0800;    // places marked for "in"
constexpr uint32_t F_PREP = 0x1000;      // prepositions
constexpr uint32_t F_ADJ = 0x2000;       // adjectives
constexpr uint32_t F_FUNC = 0x4000;      // function words and punctuation
constexpr uint32_t F_LITERAL = 0x20000;  // frame slot: exactly the word in the low byte

constexpr uint32_t HAIKU_LENGTH = 16;
constexpr uint32_t DICT_SIZE = 256;
constexpr uint32_t FRAME_COUNT = 10;
constexpr uint32_t FRAME_SLOTS = 16;
constexpr uint32_t DICT_TOKEN_SIZE = 12;
constexpr uint8_t WORD_NIL = 0;  // end marker: the only word without flags

struct DictEntry {
  char tok[DICT_TOKEN_SIZE];  // NUL-terminated, NUL-padded ASCII
  uint32_t fe;                // feature flags
};

// The 256 words, indexed by word code.
extern const DictEntry Dict[DICT_SIZE];

// The ten frames, tried in order; a slot is 0 (end: the word must be NIL), F_LITERAL | code, or
// a flag mask the word must share a bit with.
extern const uint32_t Frame[FRAME_COUNT][FRAME_SLOTS];

// 1 when the 16-byte haiku fits some frame, else 0 (also for a null pointer).
int fast_trigg_syntax(const uint8_t* haiku);
