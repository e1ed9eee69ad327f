#include "support/ctxagt.h"

#include <gtest/gtest.h>

TEST(Context, SlotCountAndBounds) {
  EXPECT_EQ(CTXnew(9), nullptr);
  agt_context_ptr context = CTXnew(10);
  ASSERT_NE(context, nullptr);
  for (unsigned i = 0; i < 10; ++i) EXPECT_EQ(CTXget(context.get(), i), nullptr);
  int value = 5;
  EXPECT_EQ(CTXset(context.get(), &value, 10), -1);
  EXPECT_EQ(CTXset(context.get(), &value, static_cast<unsigned>(-1)), -1);
  EXPECT_EQ(CTXget(context.get(), 10), nullptr);
  EXPECT_EQ(CTXset(context.get(), &value, 4), 0);
  EXPECT_EQ(CTXget(context.get(), 4), &value);
  EXPECT_EQ(CTXset(context.get(), nullptr, 4), 0);
  EXPECT_EQ(CTXget(context.get(), 4), nullptr);
  EXPECT_EQ(CTXset(nullptr, &value, 1), -1);
}

TEST(Context, InstalledStatesAreTakenBackOrReleased) {
  struct probe {
    explicit probe(int* r) : released(r) {}
    int* released;
    ~probe() { ++*released; }
  };
  int released = 0;
  {
    agt_context_ptr context = CTXnew(10);
    CTXinstall(context.get(), std::make_unique<probe>(&released), CTX_SLOT_FS);
    ASSERT_NE(CTXstate<probe>(context.get(), CTX_SLOT_FS), nullptr);
    std::unique_ptr<probe> back = CTXtake<probe>(context.get(), CTX_SLOT_FS);
    EXPECT_EQ(CTXget(context.get(), CTX_SLOT_FS), nullptr);
    EXPECT_EQ(released, 0);
    back.reset();
    EXPECT_EQ(released, 1);
    CTXinstall(context.get(), std::make_unique<probe>(&released), CTX_SLOT_RDV);
  }
  EXPECT_EQ(released, 2);  // a state left installed goes with its context
}
