// Evaluation of the status bytes the monitor collected (KLP_CHECK_STATUS).
#pragma once

#include <deque>

#include "platform/win_types.h"
#include "service/service_state.h"

// Walks the history oldest first and returns the condition it ends in: 0 (no
// condition), 21 not ready, 28 out of paper, 16000 status bit 2, 16001 out of
// paper with bit 2. With stopAtMark, a byte 0x03 ends the walk.
DWORD EvaluateStatusHistory(const std::deque<StatusRecord>& history, bool stopAtMark);
