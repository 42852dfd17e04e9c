// Set by the library's entry point; read during static destruction.
#pragma once

namespace quillmark::platform::detail {

// Records that the detach notification came from process exit rather than an unload.
void note_process_exit();
bool process_is_exiting();

}  // namespace quillmark::platform::detail
