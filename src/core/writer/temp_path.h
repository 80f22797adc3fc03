#pragma once

#include <string>
#include <string_view>

namespace zelkor {

// The temporary file beside `path` through which a build writes: the final
// file-name component gets the extension "zlkr.tmp" in place of its own
// (out/store.zlkr -> out/store.zlkr.tmp, a.b.c -> a.b.zlkr.tmp, data ->
// data.zlkr.tmp, .hidden -> .hidden.zlkr.tmp). A path without a final
// file-name component (empty, a root, ending in "..") is returned unchanged.
// Components are separated by "/", on Windows by a backslash too.
std::string temporary_path_for(std::string_view path);

// The directory that holds the final component of `path` ("." for a bare
// file name), for flushing after a rename.
std::string containing_directory(std::string_view path);

}  // namespace zelkor
