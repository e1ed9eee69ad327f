#include <gtest/gtest.h>

#include "agent/accept_pause.h"

TEST(AcceptPause, SettingTextGivesThePauseOrTheDefault) {
  struct row {
    const char* text;
    int expected;
  };
  for (const row& r : {row{nullptr, 1000}, row{"0", 0}, row{"250", 250}, row{"3600000", 3600000},
                       row{"3600001", 1000}, row{"99999999999999999999", 1000}, row{"", 1000}, row{"-1", 1000},
                       row{"12x", 1000}, row{" 5", 1000}})
    EXPECT_EQ(AGTaccept_pause_ms(r.text), r.expected) << (r.text ? r.text : "(unset)");
}
