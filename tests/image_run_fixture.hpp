// SPDX-License-Identifier: MIT
// What conemask-image's end-to-end tests share: ImageMagick's programs, the
// photographs the batch cases copy from, a work directory of their own, and
// the listing of what a run left there.
#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "run_program.hpp"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace image_run {

namespace fs = std::filesystem;
using namespace end_to_end;

inline const std::string convert = CONEMASK_CONVERT;
inline const std::string compare = CONEMASK_COMPARE;

inline bool shell(const fs::path& dir, const std::string& command)
{
    return std::system(("cd '" + dir.string() + "' && " + command).c_str()) == 0;
}

// Every entry under `dir`, by its path there: "/" after a directory, "|"
// after a FIFO, "%" after a character device.
inline std::set<std::string> listing(const fs::path& dir)
{
    std::set<std::string> entries;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = e.path().lexically_relative(dir).string();
        const fs::file_status status = e.symlink_status();
        entries.insert(name + (fs::is_directory(status)           ? "/"
                               : fs::is_fifo(status)              ? "|"
                               : fs::is_character_file(status)    ? "%"
                               : fs::is_symlink(status)           ? "@"
                                                                  : ""));
    }
    return entries;
}

// The photographs every case copies from: the example as a PNG (photo.png),
// four times its size (big.png), and tiny.png, six pixels whose samples
// for (255, 0, 0) within 0.5 above -1 are 0 (selected), 0, 0, 146, 73 and 1.
class photographs {
public:
    photographs()
    {
        std::string pattern = (fs::temp_directory_path() / "conemask-image-photos-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr || convert.empty()) {
            return;
        }
        dir = pattern;
        fs::copy_file(CONEMASK_EXAMPLES "/coffee.rgb", dir / "coffee.rgb");
        write_file(dir / "tiny.rgb", bytes("\x01\0\0\0\0\0\0\xFF\0\xFF\0\0\x80\0\0\x02\x01\0", 18));
        ready = shell(dir, convert + " -size 600x400 -depth 8 rgb:coffee.rgb photo.png") &&
                shell(dir, convert + " photo.png -scale 400% big.png") &&
                shell(dir, convert + " -size 3x2 -depth 8 rgb:tiny.rgb tiny.png") &&
                run_program(CONEMASK_PATH, dir, dir, {"180", "40", "15", "0.12", "10", "coffee", "400", "600"})
                        .status == 0;
        mask = read_file(dir / "coffee.raw");
    }
    photographs(const photographs&) = delete;
    photographs& operator=(const photographs&) = delete;
    ~photographs()
    {
        if (!dir.empty()) {
            fs::remove_all(dir);
        }
    }

    fs::path dir;
    bytes mask;  // photo.png's for the saucer
    bool ready = false;
};

inline const photographs& photos()
{
    static const photographs made;
    return made;
}

class work_dir {
public:
    work_dir()
    {
        std::string pattern = (fs::temp_directory_path() / "conemask-image-work-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            root = pattern;
            dir = root / "work";
            fs::create_directory(dir);
        }
    }
    work_dir(const work_dir&) = delete;
    work_dir& operator=(const work_dir&) = delete;
    ~work_dir()
    {
        (void)umount2((dir / "small").c_str(), MNT_DETACH);  // the full disk's, where one was mounted
        fs::remove_all(root);
    }
    // Runs `setup` in the work directory, $PHOTOS naming the photographs'.
    [[nodiscard]] bool set_up(const std::string& setup) const
    {
        return shell(dir, "PHOTOS='" + photos().dir.string() + "'; " + setup);
    }

    fs::path root, dir;
};

#define SKIP_WITHOUT_PHOTOGRAPHS()                                                           \
    if (!photos().ready) {                                                                   \
        GTEST_SKIP() << "note: ImageMagick's convert is not installed; skipped";              \
    }

// Every entry of a directory: a file's contents, "<dir>" for a directory.
inline std::map<std::string, bytes> take_snapshot(const fs::path& dir)
{
    std::map<std::string, bytes> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        entries[entry.path().filename().string()] = entry.is_directory() ? "<dir>" : read_file(entry.path());
    }
    return entries;
}

// The demo's reference (the saucer).
inline const std::vector<std::string> saucer = {"180", "40", "15", "0.12", "10"};
inline std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest = saucer)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

inline const std::string copies = "cp \"$PHOTOS/photo.png\" a.png && cp a.png b.png && cp a.png c.png; ";

}  // namespace image_run
