// agt_context: the record through which every module of a process finds its
// own state, one numbered slot per module.
#pragma once

#include <memory>
#include <vector>

// The network layer's slot. It is the one fixed here: the layer right above
// this one has no module record. The modules' slots follow it, numbered from
// the module list (modules/module_list.h); this layer knows none of them.
constexpr unsigned CTX_SLOT_TCPIP = 0;
constexpr unsigned CTX_SLOT_FIRST_MODULE = 1;
// Slots a context has at least (CTXnew).
constexpr int CTX_SLOT_MIN = 10;

struct ctx_slot {
  void* state = nullptr;
  void (*release)(void*) = nullptr;  // set when the context holds the state
};

struct agt_context {
  int slot_count = 0;
  std::vector<ctx_slot> slots;
  ~agt_context();  // releases any state a module left installed
};

using agt_context_ptr = std::unique_ptr<agt_context>;

// A new context with `count` empty slots; none when count is below CTX_SLOT_MIN.
agt_context_ptr CTXnew(int count);
// The state in slot `index`; none when the slot is empty or not in the context.
void* CTXget(agt_context* context, unsigned index);
int CTXfree(agt_context_ptr& context);

// Typed access for the modules, the one way a module reaches its state. A
// module installs its state once it has started and takes it back at its
// end; whoever takes it owns it again. No state in the slot means the module
// has not started (or has ended): there is no other flag for it.
template <class T>
T* CTXstate(agt_context* context, unsigned index) {
  return static_cast<T*>(CTXget(context, index));
}

template <class T>
int CTXinstall(agt_context* context, std::unique_ptr<T> state, unsigned index) {
  if (context == nullptr || index >= context->slots.size()) return -1;
  ctx_slot& slot = context->slots[index];
  if (slot.release != nullptr) slot.release(slot.state);
  slot.state = state.release();
  slot.release = [](void* p) { std::unique_ptr<T>(static_cast<T*>(p)).reset(); };
  return 0;
}

template <class T>
std::unique_ptr<T> CTXtake(agt_context* context, unsigned index) {
  if (context == nullptr || index >= context->slots.size()) return nullptr;
  ctx_slot& slot = context->slots[index];
  std::unique_ptr<T> state(slot.release != nullptr ? static_cast<T*>(slot.state) : nullptr);
  slot = ctx_slot{};
  return state;
}
