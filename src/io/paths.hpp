// What a path names when a run writes to it, and the names of the hidden
// temporary files that products are written to: the one place for both
// rules, so that creating a product, claiming it against other runs and
// comparing paths before the run agree.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cirsharp::io {

// `path` split at its last slash: "." is the folder of a bare name, "/" that
// of a name at the root.
struct PathParts {
    std::string folder;
    std::string name;
};
PathParts split_path(const std::string& path);

// Follows symbolic links (also dangling ones) to the path a write would reach.
std::string resolve_links(const std::string& path);

// How a write to a path goes. A device, a pipe or a terminal is written
// directly, as the path itself names it: a link such as /dev/fd/N or
// /proc/self/fd/N to a pipe names no file that a path could reach
// ("pipe:[N]"). A folder cannot be written. Anything else (a regular file, or
// nothing yet) is written to the path that its links lead to, through a
// temporary file beside it.
enum class PathKind { kSpecial, kFolder, kFile };
struct WriteTarget {
    PathKind kind = PathKind::kFile;
    std::string target;  // links followed for a kFile, else the path as given
};
WriteTarget write_target(const std::string& path);

// The hidden temporary of a file named `name` is `.NAME.XXXXXX.part`, the
// X's kTemporaryLetters letters or digits chosen at random; NAME is cut short
// so that the whole stays within NAME_MAX.
inline constexpr std::size_t kTemporaryLetters = 6;
inline constexpr std::string_view kTemporaryAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// The temporary's name with `letters` (kTemporaryLetters of the alphabet).
std::string temporary_name(std::string_view name, std::string_view letters);
// Whether `entry` of a folder is a temporary of a file named `name`.
bool is_temporary_of(std::string_view entry, std::string_view name);

}  // namespace cirsharp::io
