#include "service/status_check.h"

#include "service/control_codes.h"

namespace {

constexpr BYTE kEndMark = 0x03;

}  // namespace

DWORD EvaluateStatusHistory(const std::deque<StatusRecord>& history, bool stopAtMark) {
  DWORD err = 0;
  for (const StatusRecord& record : history) {
    const BYTE s = record.status;
    if ((s & KLP_STATUS_CLASS_MASK) == KLP_STATUS_CLASS) {
      if (s & KLP_STATUS_BIT_NOT_READY) {
        err = ERROR_NOT_READY;
      } else if (err == ERROR_NOT_READY) {
        err = 0;
      }
      if (s & KLP_STATUS_BIT_OUT_OF_PAPER) {
        err = err == KLP_STATUS_CONDITION_BIT2 ? KLP_STATUS_OUT_OF_PAPER_AND_BIT2 : ERROR_OUT_OF_PAPER;
      } else if (err == ERROR_OUT_OF_PAPER) {
        err = 0;
      } else if (err == KLP_STATUS_OUT_OF_PAPER_AND_BIT2) {
        err = KLP_STATUS_CONDITION_BIT2;
      }
      if (s & KLP_STATUS_BIT_CONDITION2) {
        // Out of paper set by this byte's bit 1 or an earlier one stays:
        // bits 1 and 2 together are 16001, whatever came before.
        err = err == ERROR_OUT_OF_PAPER || err == KLP_STATUS_OUT_OF_PAPER_AND_BIT2
                  ? KLP_STATUS_OUT_OF_PAPER_AND_BIT2
                  : KLP_STATUS_CONDITION_BIT2;
      } else if (err == KLP_STATUS_CONDITION_BIT2) {
        err = 0;
      } else if (err == KLP_STATUS_OUT_OF_PAPER_AND_BIT2) {
        err = ERROR_OUT_OF_PAPER;
      }
    }
    if (stopAtMark && s == kEndMark) break;
  }
  return err;
}
