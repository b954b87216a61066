// What kelo-status prints: the state in words, the status bytes with their
// times, and the same as JSON.
#pragma once

#include <string>
#include <string_view>

#include "kelo/service_control.h"
#include "tools/common/printer_status.h"

namespace kelo::status {

// "2026-12-09 03:20:01" from the record's fields.
std::string RecordTime(const StatusRecord& record);
// "2026-12-09 03:20:01  0x82  out of paper"
std::string RecordLine(const StatusRecord& record);
// "LPT1: " for the name "LPT1:", "printer: " for "printer": what the lines
// about a port begin with.
std::string PortLabel(const std::string& port);
// "LPT1: out of paper", "LPT1: not answering within 1000 ms".
std::string StatusLine(const std::string& port, const kelo::cli::PrinterStatus& status,
                       DWORD timeoutMs);
// {"port":"LPT1:","state":"out-of-paper","words":"out of paper","code":28,
//  "exit":6,"records":[{"time":"...","status":130}]}
std::string StatusJson(const std::string& port, const kelo::cli::PrinterStatus& status);
// {"port":"LPT9:","state":"error","error":"...","exit":5}
std::string ErrorJson(const std::string& port, const std::string& message, int exitCode);
// {"port":"LPT1:","reset":"command","exit":0}
std::string ResetJson(const std::string& port, bool byRts);

// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace kelo::status
