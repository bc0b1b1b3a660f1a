// The erase layouts from the flash start that the table of parts
// (parts.cpp) and the layouts an option bit makes (part_layouts.cpp) name.
// A page family repeats one size (count 0: to the end of the flash); a
// sector family lists its sectors, bank 2 straight after bank 1 where the
// boot loader numbers them on.
#ifndef TARVION_PART_RUNS_H
#define TARVION_PART_RUNS_H

#include <cstdint>

#include "parts.h"

namespace part_runs {

inline constexpr uint32_t KiB = 1024;

inline constexpr part_run kPages128[] = {{128, 0}};
inline constexpr part_run kPages256[] = {{256, 0}};
inline constexpr part_run kPages1K[] = {{1 * KiB, 0}};
inline constexpr part_run kPages2K[] = {{2 * KiB, 0}};
inline constexpr part_run kPages4K[] = {{4 * KiB, 0}};
inline constexpr part_run kPages8K[] = {{8 * KiB, 0}};
inline constexpr part_run kSectors128K[] = {{128 * KiB, 0}};
// F2/F4 and F7 sector banks: of 1 MiB (the 128 KiB sectors to the end of
// the flash), of 512 KiB, and two banks of 1 MiB numbered on.
inline constexpr part_run kF4x128[] = {{16 * KiB, 4}, {64 * KiB, 1}, {128 * KiB, 0}};
inline constexpr part_run kSectorsHalfMiB[] = {{16 * KiB, 4}, {64 * KiB, 1}, {128 * KiB, 3}};
inline constexpr part_run kF4Dual[] = {{16 * KiB, 4}, {64 * KiB, 1}, {128 * KiB, 7},
                                       {16 * KiB, 4}, {64 * KiB, 1}, {128 * KiB, 7}};
inline constexpr part_run kF410[] = {{16 * KiB, 4}, {64 * KiB, 1}};
inline constexpr part_run kF7x256[] = {{32 * KiB, 4}, {128 * KiB, 1}, {256 * KiB, 0}};

}  // namespace part_runs

#endif
