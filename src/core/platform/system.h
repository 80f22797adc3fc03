// The few calls that each system's implementation (posix/, windows/)
// provides to the parts of the platform layer that every system shares
// (platform/*.cc). Nothing above the platform layer includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelkor::platform::system {

// How many bytes of [out, out + size) the system's random source filled,
// from the start; fewer than `size` when it gave out.
std::size_t random_bytes(unsigned char* out, std::size_t size) noexcept;

// Clock and process noise: different from call to call and from process to
// process, for when the random source gives nothing.
std::uint64_t noise() noexcept;

// `size` bytes of zero-filled, writable pages of the process's own,
// advised for huge pages where the system has them (and then starting at a
// huge-page boundary, so that all of them can be huge). Throws
// std::bad_alloc.
void* map_pages(std::size_t size);
// Returns what map_pages gave; `size` is what was asked for.
void unmap_pages(void* p, std::size_t size) noexcept;

// The size of the system's pages of memory.
std::uint64_t page_size() noexcept;
// Hints for [p, p + size) of a read-only file mapping, starting at a page
// boundary: map_in reads the pages in now; let_go takes them out of the
// process, to be read in again from the system's cache of the file.
void map_in(void* p, std::size_t size) noexcept;
void let_go(void* p, std::size_t size) noexcept;

// The system's message for error `code` as UTF-8, as the system gives it
// (trailing white space and all); empty when it has none.
std::string error_message(int code);

}  // namespace zelkor::platform::system
