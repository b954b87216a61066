// The printer port a tool talks to.
#pragma once

#include <optional>
#include <string>

namespace kelo::cli {

// The --port option, else the registry's "DefaultPrintPort" of
// Printers\Ports (text values only), else "LPT1:".
std::u16string PortOrDefault(const std::optional<std::string>& option);

}  // namespace kelo::cli
