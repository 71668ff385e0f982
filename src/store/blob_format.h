// Constants of the IR blob format shared by its writer and its reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zembric {

inline constexpr std::string_view kBlobMagic = "ZIR1";

// Every count, text length and member token index is stored in 32 bits.
inline constexpr std::uint64_t kBlobMaxU32 = 0xFFFFFFFFULL;

// The smallest encoded size of one entry of each counted list; the reader refuses a count whose
// entries cannot fit in the remaining bytes before it reserves anything for them.
inline constexpr std::size_t kMinNodeRecordSize = 9;  // kind, empty name or inputs, empty params
inline constexpr std::size_t kMinParamEntrySize = 6;  // empty key, type, Bool byte
inline constexpr std::size_t kNodeIdSize = 8;
inline constexpr std::size_t kMinStageMemberSize = 8;  // empty key, no tokens
inline constexpr std::size_t kMemberTokenSize = 5;     // kind, 32-bit index

}  // namespace zembric
