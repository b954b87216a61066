// Owned and borrowed strings of the platform's wide characters (UTF-16 code
// units: wchar_t on the platform, char16_t on the host).
#pragma once

#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace kelo {

using WideString = std::basic_string<WCHAR>;
using WideStringView = std::basic_string_view<WCHAR>;

}  // namespace kelo
