// The long run of the control-call fuzzer (CTest label "stress"; run it in
// the sanitizer build).

#include "tests/service/control_fuzz.h"

namespace {

using namespace kelo::test;

class ControlStress : public ServiceTest {};

TEST_F(ControlStress, ManySeedsOfRandomCalls) {
  auto com1 = InstallPort(u"COM1:", PortDouble::Type::kSerial);
  auto com2 = InstallPort(u"COM2:", PortDouble::Type::kSerial);
  auto lpt1 = InstallPort(u"LPT1:", PortDouble::Type::kParallel);
  PrepareFuzzSettings();
  Load();
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    ASSERT_EQ(Open(u"COM1:"), 1);
    ASSERT_EQ(Open(u"LPT1:"), 2);
    RunControlFuzz(seed, 40000, {com1, com2, lpt1});
    CloseEverything({com1, com2, lpt1});
    if (HasFailure()) return;
  }
}

}  // namespace
