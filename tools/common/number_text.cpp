#include "number_text.h"

#include <charconv>

namespace korvel::tools {

std::optional<std::uint32_t> parse_count(std::string_view text, std::uint32_t lowest,
                                         std::uint32_t highest) {
  std::uint32_t value = 0;
  const char *end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || text.empty() || value < lowest || value > highest) {
    return std::nullopt;
  }
  return value;
}

std::optional<double> parse_probability(std::string_view text) {
  double value = 0.0;
  const char *end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || text.empty() || !(value >= 0.0 && value <= 1.0)) {
    return std::nullopt;
  }
  return value;
}

} // namespace korvel::tools
