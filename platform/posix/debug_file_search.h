// The search for a module's separate debug file. libdw's own search opens every candidate it
// names, so a FIFO or a device with a candidate's name would block the resolution, and with it
// the resource monitor, for good. This one opens regular files only and otherwise follows the
// same rules: the build-id path under each absolute folder, then the module's debug link (or its
// file name with ".debug") in each folder of the search path.
#pragma once

#include <elfutils/libdwfl.h>

#include <string>
#include <vector>

namespace quillmark::platform::posix {

// The folders searched, in order, as libdw's debuginfo_path names them: "" is the module's own
// folder, a relative entry a subfolder of it, and an absolute entry a root under which the
// module's folder is looked for, from its full path down to the root itself.
struct DebugFileSearch {
  std::vector<std::string> folders;
};

// The candidate paths for the debug file of the module at `file_name`, in the order they are
// tried. `build_id_hex` (lower-case hexadecimal, may be empty) selects the build-id paths;
// `debug_link` is the name the module's debug link gives, or empty.
std::vector<std::string> debug_file_candidates(const DebugFileSearch& search,
                                               const std::string& file_name,
                                               const std::string& debug_link,
                                               const std::string& build_id_hex);

// The candidate paths for the supplementary file that a ".gnu_debugaltlink" or ".debug_sup"
// section of the file at `holder_path` names as `link`: the link itself (relative to the holder's
// folder unless absolute); then, under each absolute folder of the search path, the build-id path
// of `id_hex` and, for a link into a ".dwz" folder, the same path below the folder's ".dwz".
std::vector<std::string> supplementary_file_candidates(const DebugFileSearch& search,
                                                       const std::string& holder_path,
                                                       const std::string& link,
                                                       const std::string& id_hex);

// Lower-case hexadecimal of `size` bytes.
std::string hex_of(const unsigned char* bytes, std::size_t size);

// Opens `path` for reading if it is a regular file and returns the descriptor; -1 (with errno
// set) for anything else, without ever waiting on the file.
int open_regular_file(const char* path);

// libdw's find_debuginfo callback. The module's user data points at its DebugFileSearch. A
// candidate is taken when its build id equals the module's, or, for a module without one, when
// its CRC matches the debug link's.
int find_debug_file(Dwfl_Module* module, void** user_data, const char* module_name, Dwarf_Addr base,
                    const char* file_name, const char* debug_link, GElf_Word debug_link_crc,
                    char** debug_file_name);

}  // namespace quillmark::platform::posix
