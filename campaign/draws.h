// Draws from a seed's generator.
#pragma once

#include <cstddef>
#include <random>
#include <type_traits>
#include <vector>

namespace kl::campaign {

template <typename T>
T Between(std::mt19937_64& random, T low, T high) {
  if constexpr (std::is_floating_point_v<T>) {
    return std::uniform_real_distribution<T>(low, high)(random);
  } else {
    return std::uniform_int_distribution<T>(low, high)(random);
  }
}

inline bool Chance(std::mt19937_64& random, double probability) { return Between(random, 0.0, 1.0) < probability; }

template <typename T>
const T& Pick(std::mt19937_64& random, const std::vector<T>& choices) {
  return choices[Between<size_t>(random, 0, choices.size() - 1)];
}

}  // namespace kl::campaign
