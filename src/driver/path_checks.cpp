#include "driver/path_checks.hpp"

#include <sys/stat.h>

#include <optional>
#include <stdexcept>

#include "driver/failure.hpp"
#include "driver/plan.hpp"
#include "io/paths.hpp"

namespace cirsharp {

namespace {

// What a path refers to: the device and inode of an existing file, or of the
// folder plus the name of a file still to be created.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;
    bool operator==(const FileIdentity&) const = default;
};

// None for a special file or a folder, or for a file whose folder is not
// there (creating it will fail and say so).
std::optional<FileIdentity> identity_of(const std::string& path) {
    const io::WriteTarget where = io::write_target(path);
    if (where.kind != io::PathKind::kFile) return std::nullopt;
    const std::string& target = where.target;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return std::nullopt;
        return FileIdentity{st.st_dev, st.st_ino, {}};
    }
    const io::PathParts parts = io::split_path(target);
    if (::stat(parts.folder.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino, parts.name};
}

// One of the files a run may write or read, as messages name it.
struct Entry {
    FileIdentity id;
    bool refused;         // the second input, an output or a header: refused when it
                          // names an earlier entry
    std::string subject;  // when it is the one refused
    std::string other;    // when an entry after it names it
};

std::string position_text(int i, const std::string& path) {
    return std::string("the ") + kPositionNames[i] + " '" + path + "'";
}

}  // namespace

void check_paths(const std::vector<std::string>& paths, bool envi) {
    // The seven paths in position order, then the headers: every output is
    // compared with the paths before it, every header with all seven and the
    // headers before it.
    std::vector<Entry> entries;
    std::vector<int> products;  // positions with an identity, so with a header
    for (int i = 0; i < kPositions; ++i) {
        const auto id = identity_of(paths[i]);
        if (!id) continue;
        const std::string text = position_text(i, paths[i]);
        entries.push_back({*id, i >= 1, text, text});
        if (i >= 2) products.push_back(i);
    }
    for (const int i : envi ? products : std::vector<int>{}) {
        const std::string header = paths[i] + ".hdr";
        const auto id = identity_of(header);
        if (!id) continue;
        entries.push_back({*id, true, "the header '" + header + "' of the " + kPositionNames[i],
                           "another product's header"});
    }
    for (std::size_t e = 0; e < entries.size(); ++e) {
        if (!entries[e].refused) continue;
        for (std::size_t earlier = 0; earlier < e; ++earlier)
            if (entries[e].id == entries[earlier].id)
                throw UsageError(entries[e].subject + " is the same file as " +
                                 entries[earlier].other);
    }
}

void check_record_path(const std::vector<std::string>& paths, bool envi,
                       const std::string& record) {
    const auto id = identity_of(record);
    if (!id) return;
    for (int i = 0; i < kPositions; ++i) {
        if (identity_of(paths[i]) == id)
            throw UsageError("the record '" + record + "' is the same file as " +
                             position_text(i, paths[i]));
        if (envi && i >= 2 && identity_of(paths[i] + ".hdr") == id)
            throw UsageError("the record '" + record + "' is the same file as the header of " +
                             position_text(i, paths[i]));
    }
}

}  // namespace cirsharp
