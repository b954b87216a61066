#include "service/status_check.h"

#include "service/control_codes.h"

namespace {

// Only bytes 10xxxxxx carry printer status.
constexpr BYTE kStatusClassMask = 0xC0;
constexpr BYTE kStatusClass = 0x80;
constexpr BYTE kNotReadyBit = 0x08;
constexpr BYTE kOutOfPaperBit = 0x02;
constexpr BYTE kConditionBit2 = 0x04;
constexpr BYTE kEndMark = 0x03;

}  // namespace

DWORD EvaluateStatusHistory(const std::deque<StatusRecord>& history, bool stopAtMark) {
  using service::kErrorOutOfPaperAndBit2;
  using service::kErrorStatusBit2;
  DWORD err = 0;
  for (const StatusRecord& record : history) {
    const BYTE s = record.status;
    if ((s & kStatusClassMask) == kStatusClass) {
      if (s & kNotReadyBit) {
        err = ERROR_NOT_READY;
      } else if (err == ERROR_NOT_READY) {
        err = 0;
      }
      if (s & kOutOfPaperBit) {
        err = err == kErrorStatusBit2 ? kErrorOutOfPaperAndBit2 : ERROR_OUT_OF_PAPER;
      } else if (err == ERROR_OUT_OF_PAPER) {
        err = 0;
      } else if (err == kErrorOutOfPaperAndBit2) {
        err = kErrorStatusBit2;
      }
      if (s & kConditionBit2) {
        err = err == ERROR_OUT_OF_PAPER ? kErrorOutOfPaperAndBit2 : kErrorStatusBit2;
      } else if (err == kErrorStatusBit2) {
        err = 0;
      } else if (err == kErrorOutOfPaperAndBit2) {
        err = ERROR_OUT_OF_PAPER;
      }
    }
    if (stopAtMark && s == kEndMark) break;
  }
  return err;
}
