#include "support/ctxagt.h"

agt_context::~agt_context() {
  for (ctx_slot& slot : slots) {
    if (slot.release != nullptr) slot.release(slot.state);
    slot = ctx_slot{};
  }
}

agt_context_ptr CTXnew(int count) {
  if (count < 10) return nullptr;
  auto context = std::make_unique<agt_context>();
  context->slot_count = count;
  context->slots.resize(static_cast<std::size_t>(count));
  return context;
}

void* CTXget(agt_context* context, unsigned index) {
  if (context == nullptr || index > CTX_SLOT_MAX) return nullptr;
  return context->slots[index].state;
}

int CTXset(agt_context* context, void* value, unsigned index) {
  if (context == nullptr || index > CTX_SLOT_MAX) return -1;
  ctx_slot& slot = context->slots[index];
  if (slot.release != nullptr) slot.release(slot.state);
  slot = ctx_slot{value, nullptr};
  return 0;
}

int CTXfree(agt_context_ptr& context) {
  if (!context) return -1;
  context.reset();
  return 0;
}
