#pragma once
// Directories of shared-memory maps. Every map keeps its files (slots,
// buckets, owner, fenix, notification channel) in one directory under a
// root. The root is, in order of precedence: the value given to
// ZorbRootPath::rootDirIs (configuration), the environment variable
// ZORB_SHM_ROOT, or the embedded default "/dev/shm/zorb", so that nothing
// needs setting up on a running system.
#include <string>
#include <string_view>

namespace Mem {

class RootPath {
public:
    RootPath() = default;
    explicit RootPath(std::string dir) : dir_(std::move(dir)) {}

    std::string const& path() const { return dir_; }
    bool empty() const { return dir_.empty(); }
    std::string filePath(std::string_view name) const;
    bool fileExists(std::string_view name) const;
    // Removes one file of the map; true when it is gone (also when it never
    // existed). Never throws: cleanup must proceed past a missing file.
    bool removeFile(std::string_view name) const;
    // Creates the directory and its parents; raises
    // Lumo::MemoryResourceException when that is impossible.
    void createDirectories() const;

private:
    std::string dir_;
};

class ZorbRootPath : public RootPath {
public:
    // The directory of the map named `mapPath` ("a/b/entry"); a leading '/'
    // is dropped. Raises Lumo::RangeException for an empty path or a path
    // with a ".." component.
    explicit ZorbRootPath(std::string_view mapPath);
    ZorbRootPath(std::string_view rootDir, std::string_view mapPath);

    static std::string rootDir();
    static void rootDirIs(std::string dir);
    static constexpr char const* kEnvVar = "ZORB_SHM_ROOT";
    static constexpr char const* kDefaultRoot = "/dev/shm/zorb";
};

}  // namespace Mem
