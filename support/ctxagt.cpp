#include "support/ctxagt.h"

agt_context::~agt_context() {
  for (ctx_slot& slot : slots) {
    if (slot.release != nullptr) slot.release(slot.state);
    slot = ctx_slot{};
  }
}

agt_context_ptr CTXnew(int count) {
  if (count < CTX_SLOT_MIN) return nullptr;
  auto context = std::make_unique<agt_context>();
  context->slot_count = count;
  context->slots.resize(static_cast<std::size_t>(count));
  return context;
}

void* CTXget(agt_context* context, unsigned index) {
  if (context == nullptr || index >= context->slots.size()) return nullptr;
  return context->slots[index].state;
}

int CTXfree(agt_context_ptr& context) {
  if (!context) return -1;
  context.reset();
  return 0;
}
