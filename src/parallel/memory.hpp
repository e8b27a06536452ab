// Handing freed heap memory back to the operating system.
#pragma once

namespace ratiokit {

// Returns the free pages of every malloc arena to the system. A long call frees gigabytes in
// pieces that the allocator would otherwise keep mapped for the process's lifetime; a no-op
// where the C library offers no way to do this.
void release_free_memory();

}  // namespace ratiokit
