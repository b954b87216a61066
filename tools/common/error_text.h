// Last-error codes of the platform, the ports and the device service in
// words, for the tools' one-line messages.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kelo::cli {

// "the printer is out of paper (28)": the words and the code.
std::string ErrorText(DWORD error);

}  // namespace kelo::cli
