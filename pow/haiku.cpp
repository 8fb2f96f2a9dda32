// Haiku dictionary, frames and the frame check.
#include "pow/haiku.h"

namespace {

constexpr uint32_t L(uint32_t code) {
  return F_LITERAL | code;
}

constexpr uint32_t kNewline = 1;
constexpr uint32_t kColon = 2;    // backspace + ':'
constexpr uint32_t kHyphens = 3;  // backspace + "--"
constexpr uint32_t kA = 5;
constexpr uint32_t kPluralS = 9;  // backspace + 's'
constexpr uint32_t kLowByte = 0xff;

}  // namespace

// Backspace tokens (codes 2, 3, 9) attach to the previous word when rendered.
const DictEntry Dict[DICT_SIZE] = {
    {"NIL", 0},                                          // 0
    {"\n", F_FUNC},                                      // 1
    {"\b:", F_FUNC},                                     // 2
    {"\b--", F_FUNC},                                    // 3
    {"like", F_FUNC},                                    // 4
    {"a", F_FUNC},                                       // 5
    {"the", F_FUNC},                                     // 6
    {"of", F_FUNC},                                      // 7
    {"no", F_FUNC},                                      // 8
    {"\bs", F_FUNC},                                     // 9
    {"after", F_FUNC},                                   // 10
    {"before", F_FUNC},                                  // 11
    {"at", F_PREP},                                      // 12
    {"in", F_PREP},                                      // 13
    {"on", F_PREP},                                      // 14
    {"under", F_PREP},                                   // 15
    {"above", F_PREP},                                   // 16
    {"below", F_PREP},                                   // 17
    {"arriving", F_ING | F_MOVE},                        // 18
    {"departing", F_ING | F_MOVE},                       // 19
    {"going", F_ING | F_MOVE},                           // 20
    {"coming", F_ING | F_MOVE},                          // 21
    {"creeping", F_ING | F_MOVE},                        // 22
    {"dancing", F_ING | F_MOVE},                         // 23
    {"riding", F_ING | F_MOVE},                          // 24
    {"strutting", F_ING | F_MOVE},                       // 25
    {"leaping", F_ING | F_MOVE},                         // 26
    {"leaving", F_ING | F_MOVE},                         // 27
    {"entering", F_ING | F_MOVE},                        // 28
    {"drifting", F_ING | F_MOVE},                        // 29
    {"returning", F_ING | F_MOVE},                       // 30
    {"rising", F_ING | F_MOVE},                          // 31
    {"falling", F_ING | F_MOVE},                         // 32
    {"rushing", F_ING | F_MOVE},                         // 33
    {"soaring", F_ING | F_MOVE},                         // 34
    {"travelling", F_ING | F_MOVE},                      // 35
    {"turning", F_ING | F_MOVE},                         // 36
    {"singing", F_ING | F_MOVE},                         // 37
    {"walking", F_ING | F_MOVE},                         // 38
    {"crying", F_ING},                                   // 39
    {"weeping", F_ING},                                  // 40
    {"lingering", F_ING},                                // 41
    {"pausing", F_ING},                                  // 42
    {"shining", F_ING},                                  // 43
    {"fall", F_INF | F_MOVE},                            // 44
    {"flow", F_INF | F_MOVE},                            // 45
    {"wander", F_INF | F_MOVE},                          // 46
    {"disappear", F_INF | F_MOVE},                       // 47
    {"wait", F_INF},                                     // 48
    {"bloom", F_INF},                                    // 49
    {"doze", F_INF},                                     // 50
    {"dream", F_INF},                                    // 51
    {"laugh", F_INF},                                    // 52
    {"meditate", F_INF},                                 // 53
    {"listen", F_INF},                                   // 54
    {"sing", F_INF},                                     // 55
    {"decay", F_INF},                                    // 56
    {"cling", F_INF},                                    // 57
    {"grow", F_INF},                                     // 58
    {"forget", F_INF},                                   // 59
    {"remain", F_INF},                                   // 60
    {"arid", F_ADJ},                                     // 61
    {"abandoned", F_ADJ},                                // 62
    {"aged", F_ADJ},                                     // 63
    {"ancient", F_ADJ},                                  // 64
    {"full", F_ADJ},                                     // 65
    {"glorious", F_ADJ},                                 // 66
    {"good", F_ADJ},                                     // 67
    {"beautiful", F_ADJ},                                // 68
    {"first", F_ADJ},                                    // 69
    {"last", F_ADJ},                                     // 70
    {"forsaken", F_ADJ},                                 // 71
    {"sad", F_ADJ},                                      // 72
    {"mandarin", F_ADJ},                                 // 73
    {"naked", F_ADJ},                                    // 74
    {"nameless", F_ADJ},                                 // 75
    {"old", F_ADJ},                                      // 76
    {"quiet", F_AMB | F_ADJ},                            // 77
    {"peaceful", F_ADJ},                                 // 78
    {"still", F_ADJ},                                    // 79
    {"tranquil", F_ADJ},                                 // 80
    {"bare", F_ADJ},                                     // 81
    {"evening", F_TIMED | F_ADJ},                        // 82
    {"morning", F_TIMED | F_ADJ},                        // 83
    {"afternoon", F_TIMED | F_ADJ},                      // 84
    {"spring", F_SEASON | F_ADJ},                        // 85
    {"summer", F_SEASON | F_ADJ},                        // 86
    {"autumn", F_SEASON | F_ADJ},                        // 87
    {"winter", F_SEASON | F_ADJ},                        // 88
    {"broken", F_ADJ},                                   // 89
    {"thick", F_ADJ},                                    // 90
    {"thin", F_ADJ},                                     // 91
    {"little", F_ADJ},                                   // 92
    {"big", F_ADJ},                                      // 93
    {"parched", F_AMB | F_ADJ},                          // 94
    {"withered", F_AMB | F_ADJ},                         // 95
    {"worn", F_AMB | F_ADJ},                             // 96
    {"soft", F_ADJ},                                     // 97
    {"bitter", F_ADJ},                                   // 98
    {"bright", F_ADJ},                                   // 99
    {"brilliant", F_ADJ},                                // 100
    {"cold", F_ADJ},                                     // 101
    {"cool", F_ADJ},                                     // 102
    {"crimson", F_ADJ},                                  // 103
    {"dark", F_ADJ},                                     // 104
    {"frozen", F_ADJ},                                   // 105
    {"grey", F_ADJ},                                     // 106
    {"hard", F_ADJ},                                     // 107
    {"hot", F_ADJ},                                      // 108
    {"scarlet", F_ADJ},                                  // 109
    {"shallow", F_ADJ},                                  // 110
    {"sharp", F_ADJ},                                    // 111
    {"warm", F_ADJ},                                     // 112
    {"close", F_ADJ},                                    // 113
    {"calm", F_ADJ},                                     // 114
    {"cruel", F_ADJ},                                    // 115
    {"drowned", F_ADJ},                                  // 116
    {"dull", F_ADJ},                                     // 117
    {"dead", F_ADJ},                                     // 118
    {"sick", F_ADJ},                                     // 119
    {"deep", F_ADJ},                                     // 120
    {"fast", F_ADJ},                                     // 121
    {"fleeting", F_ADJ},                                 // 122
    {"fragrant", F_ADJ},                                 // 123
    {"fresh", F_ADJ},                                    // 124
    {"loud", F_ADJ},                                     // 125
    {"moonlit", F_AMB | F_ADJ},                          // 126
    {"sacred", F_ADJ},                                   // 127
    {"slow", F_ADJ},                                     // 128
    {"traveller", F_NS},                                 // 129
    {"poet", F_NS},                                      // 130
    {"beggar", F_NS},                                    // 131
    {"monk", F_NS},                                      // 132
    {"warrior", F_NS},                                   // 133
    {"wife", F_NS},                                      // 134
    {"courtesan", F_NS},                                 // 135
    {"dancer", F_NS},                                    // 136
    {"daemon", F_NS},                                    // 137
    {"frog", F_NS},                                      // 138
    {"hawks", F_NPL},                                    // 139
    {"larks", F_NPL},                                    // 140
    {"cranes", F_NPL},                                   // 141
    {"crows", F_NPL},                                    // 142
    {"ducks", F_NPL},                                    // 143
    {"birds", F_NPL},                                    // 144
    {"skylark", F_NS},                                   // 145
    {"sparrows", F_NPL},                                 // 146
    {"minnows", F_NPL},                                  // 147
    {"snakes", F_NPL},                                   // 148
    {"dog", F_NS},                                       // 149
    {"monkeys", F_NPL},                                  // 150
    {"cats", F_NPL},                                     // 151
    {"cuckoos", F_NPL},                                  // 152
    {"mice", F_NPL},                                     // 153
    {"dragonfly", F_NS},                                 // 154
    {"butterfly", F_NS},                                 // 155
    {"firefly", F_NS},                                   // 156
    {"grasshopper", F_NS},                               // 157
    {"mosquitos", F_NPL},                                // 158
    {"trees", F_NPL | F_LOC_AT | F_LOC_IN},              // 159
    {"roses", F_NPL},                                    // 160
    {"cherries", F_NPL},                                 // 161
    {"flowers", F_NPL},                                  // 162
    {"lotuses", F_NPL},                                  // 163
    {"plums", F_NPL},                                    // 164
    {"poppies", F_NPL},                                  // 165
    {"violets", F_NPL},                                  // 166
    {"oaks", F_NPL | F_LOC_AT},                          // 167
    {"pines", F_NPL | F_LOC_AT},                         // 168
    {"chestnuts", F_NPL},                                // 169
    {"clovers", F_NPL},                                  // 170
    {"leaves", F_NPL},                                   // 171
    {"petals", F_NPL},                                   // 172
    {"thorns", F_NPL},                                   // 173
    {"blossoms", F_NPL},                                 // 174
    {"vines", F_NPL},                                    // 175
    {"willows", F_NPL},                                  // 176
    {"mountain", F_NS | F_LOC_AT | F_LOC_ON},            // 177
    {"moor", F_NS | F_LOC_AT | F_LOC_ON | F_LOC_IN},     // 178
    {"sea", F_NS | F_LOC_AT | F_LOC_ON | F_LOC_IN},      // 179
    {"shadow", F_NS | F_LOC_IN},                         // 180
    {"skies", F_NPL | F_LOC_IN},                         // 181
    {"moon", F_NS},                                      // 182
    {"star", F_NS},                                      // 183
    {"stone", F_NS},                                     // 184
    {"cloud", F_NS},                                     // 185
    {"bridge", F_NS | F_LOC_AT | F_LOC_ON},              // 186
    {"gate", F_NS | F_LOC_AT},                           // 187
    {"temple", F_NS | F_LOC_AT | F_LOC_IN},              // 188
    {"hovel", F_NS | F_LOC_AT | F_LOC_IN},               // 189
    {"forest", F_NS | F_LOC_AT | F_LOC_IN},              // 190
    {"grave", F_NS | F_LOC_AT | F_LOC_ON | F_LOC_IN},    // 191
    {"stream", F_NS | F_LOC_AT | F_LOC_ON | F_LOC_IN},   // 192
    {"pond", F_NS | F_LOC_AT | F_LOC_ON | F_LOC_IN},     // 193
    {"island", F_NS | F_LOC_AT | F_LOC_ON},              // 194
    {"bell", F_NS},                                      // 195
    {"boat", F_NS | F_LOC_ON | F_LOC_IN},                // 196
    {"sailboat", F_NS | F_LOC_ON | F_LOC_IN},            // 197
    {"bon fire", F_NS | F_LOC_AT},                       // 198
    {"straw mat", F_NS | F_LOC_ON},                      // 199
    {"cup", F_NS | F_LOC_IN},                            // 200
    {"nest", F_NS | F_LOC_IN},                           // 201
    {"sun", F_NS | F_LOC_IN},                            // 202
    {"village", F_NS | F_LOC_IN},                        // 203
    {"tomb", F_NS | F_LOC_AT | F_LOC_IN},                // 204
    {"raindrop", F_NS | F_LOC_IN},                       // 205
    {"wave", F_NS | F_LOC_IN},                           // 206
    {"wind", F_NS | F_LOC_IN},                           // 207
    {"tide", F_NS | F_LOC_AT | F_LOC_IN},                // 208
    {"fan", F_NS},                                       // 209
    {"hat", F_NS},                                       // 210
    {"sandal", F_NS},                                    // 211
    {"shroud", F_NS},                                    // 212
    {"pole", F_NS},                                      // 213
    {"water", F_MASS | F_AMB | F_LOC_ON | F_LOC_IN},     // 214
    {"air", F_MASS | F_AMB | F_LOC_ON | F_LOC_IN},       // 215
    {"mud", F_MASS | F_AMB | F_LOC_ON | F_LOC_IN},       // 216
    {"rain", F_MASS | F_AMB | F_LOC_IN},                 // 217
    {"thunder", F_MASS | F_AMB | F_LOC_IN},              // 218
    {"ice", F_MASS | F_AMB | F_LOC_ON | F_LOC_IN},       // 219
    {"snow", F_MASS | F_AMB | F_LOC_ON | F_LOC_IN},      // 220
    {"salt", F_MASS | F_LOC_ON | F_LOC_IN},              // 221
    {"hail", F_MASS | F_AMB | F_LOC_IN},                 // 222
    {"mist", F_MASS | F_AMB | F_LOC_IN},                 // 223
    {"dew", F_MASS | F_AMB | F_LOC_IN},                  // 224
    {"foam", F_MASS | F_AMB | F_LOC_IN},                 // 225
    {"frost", F_MASS | F_AMB | F_LOC_IN},                // 226
    {"smoke", F_MASS | F_AMB | F_LOC_IN},                // 227
    {"twilight", F_MASS | F_AMB | F_LOC_AT | F_LOC_IN},  // 228
    {"earth", F_MASS | F_LOC_ON | F_LOC_IN},             // 229
    {"grass", F_MASS | F_LOC_ON | F_LOC_IN},             // 230
    {"bamboo", F_MASS},                                  // 231
    {"gold", F_MASS},                                    // 232
    {"grain", F_MASS},                                   // 233
    {"rice", F_MASS},                                    // 234
    {"tea", F_MASS | F_LOC_IN},                          // 235
    {"light", F_MASS | F_AMB | F_LOC_IN},                // 236
    {"darkness", F_MASS | F_AMB | F_LOC_IN},             // 237
    {"firelight", F_MASS | F_AMB | F_LOC_IN},            // 238
    {"sunlight", F_MASS | F_AMB | F_LOC_IN},             // 239
    {"sunshine", F_MASS | F_AMB | F_LOC_IN},             // 240
    {"journey", F_NS | F_LOC_ON},                        // 241
    {"serenity", F_MASS},                                // 242
    {"dusk", F_TIMED},                                   // 243
    {"glow", F_NS},                                      // 244
    {"scent", F_NS},                                     // 245
    {"sound", F_NS},                                     // 246
    {"silence", F_NS},                                   // 247
    {"voice", F_NS},                                     // 248
    {"day", F_NS | F_TIMED},                             // 249
    {"night", F_NS | F_TIMED},                           // 250
    {"sunrise", F_NS | F_TIMED},                         // 251
    {"sunset", F_NS | F_TIMED},                          // 252
    {"midnight", F_NS | F_TIMED},                        // 253
    {"equinox", F_NS | F_SEASON},                        // 254
    {"noon", F_NS | F_TIMED},                            // 255
};

const uint32_t Frame[FRAME_COUNT][FRAME_SLOTS] = {
    {F_PREP, F_ADJ, F_MASS, L(kNewline), F_NPL, L(kNewline), F_ING | F_INF},
    {F_PREP, F_MASS, L(kNewline), F_ADJ, F_NPL, L(kNewline), F_ING | F_INF},
    {F_PREP, F_TIMED, L(kNewline), F_ADJ, F_NPL, L(kNewline), F_ING | F_INF},
    {F_PREP, F_TIMED, L(kNewline), L(kA), F_NS, L(kNewline), F_ING},
    {F_TIME, F_AMB, L(kNewline), F_PREP, L(kA), F_ADJ, F_NS, L(kHyphens), L(kNewline),
     F_ING | F_ADJ},
    {F_TIME, F_AMB, L(kNewline), F_ADJ, F_MASS, L(kNewline), F_ING},
    {F_TIME, F_MASS, L(kNewline), F_INF, L(kPluralS), L(kColon), L(kNewline), F_AMB},
    {F_ING, F_PREP, L(kA), F_ADJ, F_NS, L(kNewline), F_MASS, F_ING, L(kHyphens), L(kNewline), L(kA),
     F_ADJ, F_NS},
    {F_ING, F_PREP, F_TIME, F_MASS, L(kNewline), F_MASS, F_ING, L(kHyphens), L(kNewline), L(kA),
     F_ADJ, F_NS},
    {L(kA), F_NS, L(kNewline), F_PREP, F_TIMED, F_MASS, L(kHyphens), L(kNewline), F_ADJ},
};

int fast_trigg_syntax(const uint8_t* haiku) {
  if (haiku == nullptr) return 0;
  uint32_t flags[HAIKU_LENGTH];
  for (uint32_t j = 0; j < HAIKU_LENGTH; ++j) flags[j] = Dict[haiku[j]].fe;

  for (uint32_t f = 0; f < FRAME_COUNT; ++f) {
    bool fits = true;
    for (uint32_t j = 0; j < HAIKU_LENGTH && fits; ++j) {
      const uint32_t slot = Frame[f][j];
      if (slot == 0) {
        if (flags[j] == 0) return 1;  // the frame ends on NIL
        fits = false;
      } else if (slot & F_LITERAL) {
        fits = haiku[j] == (slot & kLowByte);
      } else {
        fits = (flags[j] & slot) != 0;
      }
    }
    if (fits) return 1;  // all 16 positions matched
  }
  return 0;
}
