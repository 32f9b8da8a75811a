// TStrArray: a counted array of strings with split and join. Items' length is the capacity;
// Count says how many are in use. Items past Count are spare room and keep whatever they held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TStrArray {
  std::vector<std::string> Items;
  int32_t Count = 0;

  // Count := 0 and the capacity := the given number.
  void Init(int32_t capacity);
  // Appends; returns the new item's position. A full array doubles (at least to 2).
  int32_t Add(const std::string& text);
  // Resets and fills from the text cut at every occurrence of the separator (case-sensitive).
  // An empty text gives no items; a trailing separator gives a final empty item.
  void Split(const std::string& text, const std::string& separator);
  std::string Join(const std::string& separator, const std::string& itemFormat) const;
  // Joins items start..start+number-1 (start below 0 counts as 0). When itemFormat is not empty
  // each item goes through Format with it (one %s).
  std::string JoinRange(int32_t start, int32_t number, const std::string& separator,
                        const std::string& itemFormat) const;
};
