#include "support/ctxagt.h"

#include <gtest/gtest.h>

TEST(Context, SlotCountAndBounds) {
  EXPECT_EQ(CTXnew(9), nullptr);
  agt_context_ptr context = CTXnew(10);
  ASSERT_NE(context, nullptr);
  for (unsigned i = 0; i < 10; ++i) EXPECT_EQ(CTXget(context.get(), i), nullptr);
  EXPECT_EQ(CTXinstall(context.get(), std::make_unique<int>(5), 10), -1);
  EXPECT_EQ(CTXinstall(context.get(), std::make_unique<int>(5), static_cast<unsigned>(-1)), -1);
  EXPECT_EQ(CTXget(context.get(), 10), nullptr);
  EXPECT_EQ(CTXinstall(context.get(), std::make_unique<int>(5), 4), 0);
  EXPECT_EQ(*CTXstate<int>(context.get(), 4), 5);
  EXPECT_NE(CTXtake<int>(context.get(), 4), nullptr);
  EXPECT_EQ(CTXget(context.get(), 4), nullptr);
  EXPECT_EQ(CTXinstall(nullptr, std::make_unique<int>(5), 1), -1);
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
    CTXinstall(context.get(), std::make_unique<probe>(&released), CTX_SLOT_FIRST_MODULE);
    ASSERT_NE(CTXstate<probe>(context.get(), CTX_SLOT_FIRST_MODULE), nullptr);
    std::unique_ptr<probe> back = CTXtake<probe>(context.get(), CTX_SLOT_FIRST_MODULE);
    EXPECT_EQ(CTXget(context.get(), CTX_SLOT_FIRST_MODULE), nullptr);
    EXPECT_EQ(released, 0);
    back.reset();
    EXPECT_EQ(released, 1);
    CTXinstall(context.get(), std::make_unique<probe>(&released), CTX_SLOT_FIRST_MODULE + 1);
  }
  EXPECT_EQ(released, 2);  // a state left installed goes with its context
}
