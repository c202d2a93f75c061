#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace halvorine {

// FNV-1a, 64-bit. A hash can be carried on piece by piece: folding the pieces of a byte string in
// order gives the hash of the whole string.
inline constexpr uint64_t kFnv1a64Basis = 14695981039346656037ULL;

inline uint64_t fnv1a64Fold(uint64_t hash, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    hash ^= bytes[i];
    hash *= 1099511628211ULL;
  }
  return hash;
}

inline uint64_t fnv1a64(std::span<const uint8_t> bytes) {
  return fnv1a64Fold(kFnv1a64Basis, bytes.data(), bytes.size());
}

}  // namespace halvorine
