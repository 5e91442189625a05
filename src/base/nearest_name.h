#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvan {

// How far apart two names are: letters inserted, removed, changed or swapped
// with their neighbour (optimal string alignment distance), letter case aside.
inline std::size_t NameDistance(std::string_view a, std::string_view b) {
  auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  };
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + !same(a[i - 1], b[j - 1])});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The candidate a slip of a few letters most likely meant: the nearest one
// within a third of the name's length (at least two letters); anything
// further is not guessed at. Empty when none is near.
inline std::string_view NearestName(std::string_view given, const std::vector<std::string_view>& candidates) {
  std::string_view nearest;
  std::size_t best = std::max<std::size_t>(2, given.size() / 3) + 1;
  for (const std::string_view candidate : candidates)
    if (const std::size_t distance = NameDistance(given, candidate); distance < best) {
      best = distance;
      nearest = candidate;
    }
  return nearest;
}

}  // namespace korvan
