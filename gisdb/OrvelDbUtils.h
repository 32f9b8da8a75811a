// Shared pieces of the back-ends.
#pragma once

#include <string>
#include <vector>

// Replaces each mark character outside quoted literals by the replacement at the same position
// (an empty replacement removes the character). Text between single quotes or between double
// quotes is a literal and stays as it is; a quote of the other kind inside a literal is text.
std::string ReplaceQuoteMarks(const std::string& text, const std::string& marks,
                              const std::vector<std::string>& replacements);
