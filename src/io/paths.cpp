#include "io/paths.hpp"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace cirsharp::io {

namespace {

// The longest part of the final name kept in a temporary's name: with the
// leading dot and ".XXXXXX.part" it stays within NAME_MAX.
constexpr std::size_t kMaxStemBase = NAME_MAX - 13;
constexpr std::string_view kSuffix = ".part";

// ".NAME." with NAME cut short: the part before the letters.
std::string temporary_prefix(std::string_view name) {
    const std::string_view kept = name.substr(0, kMaxStemBase);
    std::string prefix(kept.size() + 2, '.');
    kept.copy(prefix.data() + 1, kept.size());
    return prefix;
}

}  // namespace

PathParts split_path(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string resolve_links(const std::string& path) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size());
        if (n < 0) return p;
        std::string link(buf.data(), static_cast<std::size_t>(n));
        p = (link.starts_with('/')) ? link : split_path(p).folder + "/" + link;
    }
    return p;  // a loop: the open below reports ELOOP
}
WriteTarget write_target(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return {PathKind::kFolder, path};
        if (!S_ISREG(st.st_mode)) return {PathKind::kSpecial, path};
    }
    return {PathKind::kFile, resolve_links(path)};
}

std::string temporary_name(std::string_view name, std::string_view letters) {
    return temporary_prefix(name) + std::string(letters) + std::string(kSuffix);
}

bool is_temporary_of(std::string_view entry, std::string_view name) {
    const std::string prefix = temporary_prefix(name);
    if (entry.size() != prefix.size() + kTemporaryLetters + kSuffix.size()) return false;
    if (!entry.starts_with(prefix) || !entry.ends_with(kSuffix)) return false;
    const std::string_view letters = entry.substr(prefix.size(), kTemporaryLetters);
    return std::all_of(letters.begin(), letters.end(),
                       [](char c) { return kTemporaryAlphabet.find(c) != std::string_view::npos; });
}

}  // namespace cirsharp::io
