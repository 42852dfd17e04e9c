// The names of functions as their DWARF entries give them, qualified by their enclosing
// namespaces and classes the way a debugger shows a function that has no linkage name.
#pragma once

#include <elfutils/libdw.h>

#include <string>

namespace quillmark::platform::posix {

// The name of the function entry `die` (a subprogram or an inlined call): its DW_AT_name, found
// through DW_AT_abstract_origin and DW_AT_specification, after the names of the namespaces and
// classes that hold its declaration ("std::_Function_handler<void(), run()::<lambda()> >::
// _M_invoke"). An anonymous namespace reads "(anonymous namespace)"; the scopes stop at an
// unnamed type or a function (a class local to a function). Empty when the entry has no name.
std::string qualified_dwarf_name(Dwarf_Die die);

}  // namespace quillmark::platform::posix
