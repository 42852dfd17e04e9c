// The names Linux frames are shown under: demangled, without parameter list, symbol version or
// the tags of GCC's clones.
#include "debuginfo/symbol_names.h"

#include <gtest/gtest.h>

namespace {

using quillmark::debuginfo::shown_function_name;

TEST(ShownFunctionName, DropsParameterListsQualifiersAndVersions) {
  EXPECT_EQ(shown_function_name("_ZNK2ns4Type3runEi", true), "ns::Type::run");
  EXPECT_EQ(shown_function_name("_ZN2ns3ObjdvEi", true), "ns::Obj::operator/");
  EXPECT_EQ(shown_function_name("_ZN2nsL4loadEv", true), "ns::load");
  EXPECT_EQ(shown_function_name("memcpy@@GLIBC_2.14", true), "memcpy");
  EXPECT_EQ(shown_function_name("main", true), "main");
  // Names that are no C++ names stay as they are.
  EXPECT_EQ(shown_function_name("_Znot_mangled", true), "_Znot_mangled");
}

TEST(ShownFunctionName, DropsTheTagsOfClonesAndSplitParts) {
  EXPECT_EQ(shown_function_name("_ZN2ns3ObjdvEi.isra.0", true), "ns::Obj::operator/");
  EXPECT_EQ(shown_function_name("_ZL4loadi.constprop.0", true), "load");
  EXPECT_EQ(shown_function_name("_ZL4loadi.part.0.isra.0", true), "load");
  EXPECT_EQ(shown_function_name("_Z4loadi.cold", true), "load");
  EXPECT_EQ(shown_function_name("load.constprop.3", true), "load");
  EXPECT_EQ(shown_function_name("load.part.0.cold", true), "load");
  EXPECT_EQ(shown_function_name("__libc_start_call_main", true), "__libc_start_call_main");
  // Only whole tags count: a name that merely contains one keeps its dots.
  EXPECT_EQ(shown_function_name("a.partial", true), "a.partial");
}

TEST(ShownFunctionName, KeepsTheSymbolWhenNotUndecorating) {
  EXPECT_EQ(shown_function_name("_ZL4loadi.constprop.0@V1", false), "_ZL4loadi.constprop.0");
}

}  // namespace
