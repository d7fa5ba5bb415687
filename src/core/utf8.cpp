#include "core/utf8.hpp"

namespace pluvo {

std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t width = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      width = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (width == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t valid = 1;
    while (valid < width && i + valid < bytes.size()) {
      const auto next = static_cast<unsigned char>(bytes[i + valid]);
      const bool second = valid == 1;
      if (next < (second ? low : 0x80) || next > (second ? high : 0xBF)) break;
      ++valid;
    }
    if (valid == width) {
      out.append(bytes.substr(i, width));
    } else {
      out += kReplacement;
    }
    i += valid;
  }
  return out;
}

}  // namespace pluvo
