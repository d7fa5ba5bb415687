// Text from the C library is not guaranteed to be UTF-8; Python wants it to be.
#pragma once

#include <string>
#include <string_view>

namespace pluvo {

// Valid UTF-8 is copied unchanged; each maximal ill-formed sequence becomes one U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace pluvo
