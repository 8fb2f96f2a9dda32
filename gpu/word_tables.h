// Word tables of the second-half generator (gpu/second_half.h): word codes of the dictionary,
// each carrying the flag its slot of frame 8 demands. The values are macro lists so that the
// host arrays below and the device module's constant symbols Z_ING ... Z_NS hold the same
// values; entries beyond the index range the generator uses are stored but never selected.
#pragma once

#include <cstdint>

#define KEST_Z_ING_VALUES 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33
#define KEST_Z_PREP_VALUES 12, 13, 14, 15, 16, 17, 12, 13
#define KEST_Z_TIME_VALUES 82, 83, 84, 85, 86, 87, 88, 253, 249, 250, 251, 252, 253, 254, 255, 243
#define KEST_Z_MASS_VALUES \
  214, 215, 216, 217, 218, 219, 220, 221, 222, 223, 224, 225, 226, 227, 228, 229
#define KEST_Z_ADJ_VALUES                                                                         \
  61, 62, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80, 81, 82, 83, 84, \
      85, 86, 87, 88, 89, 90, 91, 92, 94, 95, 96, 97, 98, 99, 100, 101, 102, 103, 104, 105, 107,  \
      108, 109, 110, 112, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127,   \
      128
#define KEST_Z_NS_VALUES                                                                         \
  129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 145, 149, 154, 155, 156, 157, 177, 178, 179, \
      180, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191, 192, 193, 194, 196, 197, 198, 199,  \
      200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 241, 244, 245, 246,  \
      247, 248, 249, 250, 251, 252, 253, 254, 255

namespace Kest::gpu {

constexpr int kZIngEntries = 16;
constexpr int kZPrepEntries = 8;
constexpr int kZTimeEntries = 16;
constexpr int kZMassEntries = 16;
constexpr int kZAdjEntries = 64;
constexpr int kZNsEntries = 64;

inline constexpr uint8_t kZIng[kZIngEntries] = {KEST_Z_ING_VALUES};
inline constexpr uint8_t kZPrep[kZPrepEntries] = {KEST_Z_PREP_VALUES};
inline constexpr uint8_t kZTime[kZTimeEntries] = {KEST_Z_TIME_VALUES};
inline constexpr uint8_t kZMass[kZMassEntries] = {KEST_Z_MASS_VALUES};
inline constexpr uint8_t kZAdj[kZAdjEntries] = {KEST_Z_ADJ_VALUES};
inline constexpr uint8_t kZNs[kZNsEntries] = {KEST_Z_NS_VALUES};

// The six tables back to back (the device kernels' shared-memory copy).
constexpr int kZIngOffset = 0;
constexpr int kZPrepOffset = kZIngOffset + kZIngEntries;
constexpr int kZTimeOffset = kZPrepOffset + kZPrepEntries;
constexpr int kZMassOffset = kZTimeOffset + kZTimeEntries;
constexpr int kZAdjOffset = kZMassOffset + kZMassEntries;
constexpr int kZNsOffset = kZAdjOffset + kZAdjEntries;
constexpr int kZWordsTotal = kZNsOffset + kZNsEntries;

constexpr uint32_t kHalfLength = 16;

// Word codes of the literal slots of frame 8.
constexpr uint8_t kWordNewline = 1;
constexpr uint8_t kWordHyphens = 3;
constexpr uint8_t kWordA = 5;

}  // namespace Kest::gpu
