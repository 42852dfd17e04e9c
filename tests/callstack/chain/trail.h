// Host code that registers a resource at the end of a chain of calls, built twice: without
// optimisation (namespace chain_o0) and with -O2 (chain_o2). Each function notes the line of its
// call in the trail, so the test knows which line every frame must show.
#pragma once

namespace chain {

constexpr int kLinks = 20;

struct Trail {
  const char* name = "Chain";
  void* resource = nullptr;
  int call_lines[kLinks] = {};  // [i]: the line of the call made by link i (0 is innermost)
  int results = 0;
};

}  // namespace chain

#define QM_DECLARE_CHAIN(ns)                                         \
  namespace ns {                                                     \
  /* link_19 -> link_18 -> ... -> link_00 -> AddResource */          \
  int register_through_links(chain::Trail& trail);                   \
  /* inline_outer -> inline_step (always inlined) -> inline_inner */ \
  int register_through_inlined_step(chain::Trail& trail);            \
  int register_through_nested_steps(chain::Trail& trail);            \
  /* clone_caller -> register_clone (specialised by GCC at -O2) */   \
  int register_through_clone(chain::Trail& trail);                   \
  /* function_caller -> std::function -> lambda */                   \
  int register_through_function(chain::Trail& trail);                \
  }

QM_DECLARE_CHAIN(chain_o0)
QM_DECLARE_CHAIN(chain_o2)
