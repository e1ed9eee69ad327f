// The module list: every module of a connection process, one line each, in
// the order they start and end. Each line names the module's context slot
// (CTX_SLOT_<slot>) and its record, defined in the module's *_record.cpp.
//
// The interpreter walks the records in this order (after its own, which
// comes first); the slots are numbered from it, after the network layer's
// and the interpreter's. Adding a module is its files and one line here.
#pragma once

#include "support/ctxagt.h"

#define AGT_MODULE_LIST(M) \
  M(ENV, env_module)       \
  M(FS, fs_module)         \
  M(PROC, pro_module)      \
  M(TRACE, tra_module)     \
  M(SCU, scu_module)       \
  M(RDV, rdv_module)       \
  M(DYNF, dynf_module)

struct agt_module;

#define AGT_MODULE_DECLARE(slot, record) extern const agt_module record;
AGT_MODULE_LIST(AGT_MODULE_DECLARE)
#undef AGT_MODULE_DECLARE

// The context slots: the interpreter's, then one per module of the list.
enum : unsigned {
  CTX_SLOT_CMD = CTX_SLOT_FIRST_MODULE,
#define AGT_MODULE_SLOT(slot, record) CTX_SLOT_##slot,
  AGT_MODULE_LIST(AGT_MODULE_SLOT)
#undef AGT_MODULE_SLOT
  CTX_SLOT_END  // one past the last slot a connection's context needs
};
static_assert(CTX_SLOT_END <= CTX_SLOT_MIN, "every context made by CTXnew holds a slot for each module");
