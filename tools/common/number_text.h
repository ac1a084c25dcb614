// Numbers given as command-line arguments, read strictly: the whole text
// must be the number, and it must lie in the range given.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel::tools {

std::optional<std::uint32_t> parse_count(std::string_view text, std::uint32_t lowest,
                                         std::uint32_t highest);

// A probability, between 0 and 1.
std::optional<double> parse_probability(std::string_view text);

} // namespace korvel::tools
