#include "e2e/oracle_world.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "support/bytes.h"
#include "support/console_text.h"
#include "support/system.h"

namespace oracle {

namespace {

// A small alphabet, so that the two sides and successive runs meet the same
// names: case twins, and names that are a file here and a directory there.
const char* const NAMES[] = {"a", "A", "b", "B", "ab", "aB", "c.txt", "C.TXT", "dd", "x"};
// The same without case twins, where the system cannot tell how the
// destination looks names up: a first run onto an empty directory then
// pairs names as a destination that ignores case does, which the model
// does not follow.
const char* const ONE_CASE_NAMES[] = {"a", "e", "b", "f", "ab", "gh", "c.txt", "d.txt", "dd", "x"};
const char* const DOT_NAMES[] = {".a", ".hid", ".cfg"};
const unsigned FILE_MODES[] = {0644, 0644, 0644, 0644, 0644, 0644, 0644, 0644, 0644, 0644, 0644, 0644,
                               0444, 0444, 0444, 0755, 0755, 0755, 0600, 0464, 0555, 0666, 0000, 0200};
// Source directories that their owner cannot list.
const unsigned LOCKED_DIR_MODES[] = {0000, 0300};
// Destination directories without their owner's write bit, which a run of
// their owner changes all the same and leaves so.
constexpr unsigned SEALED_DIR_MODE = 0555;

void set_time(const std::string& path, std::int64_t sec, long nsec)
{
    const timespec times[2] = {{static_cast<time_t>(sec), nsec}, {static_cast<time_t>(sec), nsec}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void remove_entry(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// Puts the entry in place unless the name is taken; its path or "".
std::string place(tree_t* tree, const std::string& dir, const std::string& name, const entry_t& entry)
{
    const std::string path = dir.empty() ? name : dir + "/" + name;
    if (tree->count(path) != 0)
        return "";
    (*tree)[path] = entry;
    return path;
}

std::string pick_name(rng_t& rng)
{
    static const bool twins = missing(feature_t::case_rules).empty();
    return twins ? rng.pick(NAMES) : rng.pick(ONE_CASE_NAMES);
}

std::vector<std::string> paths_of(const tree_t& tree, kind_t kind)
{
    std::vector<std::string> paths;
    for (const auto& [path, entry] : tree) {
        if (entry.kind == kind)
            paths.push_back(path);
    }
    return paths;
}

// A list of ASCII names as a list file: as it is (0), after a UTF-8
// byte-order mark (1), or in UTF-16 after its mark, little-endian (2) or
// big-endian (3), as Windows editors save it.
std::string list_file(const std::string& text, int encoding)
{
    if (encoding == 0)
        return text;
    if (encoding == 1)
        return "\xef\xbb\xbf" + text;
    std::string bytes = encoding == 2 ? "\xff\xfe" : "\xfe\xff";
    for (const char c : text)
        bytes += encoding == 2 ? std::string{c, '\0'} : std::string{'\0', c};
    return bytes;
}

}  // namespace

day_t today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    day_t day;
    day.date = static_cast<std::uint32_t>((local.tm_year + 1900 - 1980) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    day.name = day_name(now);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    day.midnight = std::mktime(&local);
    return day;
}

void write_file(const std::string& path, const std::string& bytes, unsigned mode, std::int64_t sec, long nsec)
{
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create " + path);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("cannot write " + path);
        done += static_cast<std::size_t>(n);
    }
    fchmod(fd, mode);
    const timespec times[2] = {{static_cast<time_t>(sec), nsec}, {static_cast<time_t>(sec), nsec}};
    futimens(fd, times);
    close(fd);
}

void write_tree(const std::string& root, const tree_t& tree)
{
    for (const auto& [path, entry] : tree) {
        const std::string full = root + "/" + path;
        switch (entry.kind) {
        case kind_t::file:
            write_file(full, entry.bytes, entry.mode, entry.sec, entry.nsec);
            break;
        case kind_t::dir:
            mkdir(full.c_str(), 0777);
            chmod(full.c_str(), entry.mode);
            break;
        case kind_t::link:
            if (symlink(entry.target.c_str(), full.c_str()) != 0)
                throw std::runtime_error("cannot link " + full);
            break;
        case kind_t::special:
            mkfifo(full.c_str(), 0644);
            break;
        }
    }
}

maker_t::maker_t(rng_t* rng, const std::string& outside) : rng_(*rng), outside_(outside) {}

std::string maker_t::bytes()
{
    const int roll = rng_.below(1000);
    std::size_t size;
    if (roll < 100)
        size = 0;
    else if (roll < 400)
        size = 1 + static_cast<std::size_t>(rng_.below(64));
    else if (roll < 800)
        size = 65 + static_cast<std::size_t>(rng_.below(8192));
    else if (roll < 993)
        size = 8192 + static_cast<std::size_t>(rng_.below(200000 - 8192));
    else
        size = 200000 + static_cast<std::size_t>(rng_.below(2 * 1024 * 1024 - 200000));
    return random_bytes(size, rng_.engine());
}

void maker_t::moment(std::int64_t* sec, long* nsec)
{
    const day_t day = today();
    const std::int64_t now = std::time(nullptr);
    if (rng_.chance(25) && now - 4 > day.midnight)
        *sec = day.midnight + rng_.below(static_cast<int>(now - 2 - day.midnight));
    else
        *sec = now - 86400LL * (1 + rng_.below(3000)) - rng_.below(86400);
    *nsec = 0;
    if (rng_.chance(90))
        *sec -= *sec % 2;
    else
        *nsec = rng_.below(1000000000);
    *sec = std::min<std::int64_t>(*sec, now - 2);
}

entry_t maker_t::file()
{
    // Drawn in this order: the bytes, the mode, the moment.
    entry_t entry{.kind = kind_t::file, .bytes = bytes(), .mode = rng_.pick(FILE_MODES)};
    moment(&entry.sec, &entry.nsec);
    return entry;
}

entry_t maker_t::link()
{
    const char* const targets[] = {"a", "b", ".", "..", "nowhere", "../a", "x/y"};
    return {.kind = kind_t::link, .target = rng_.chance(25) ? outside_ : rng_.pick(targets)};
}

// Adds one random entry (with contents, for a directory) inside `dir` of
// `tree`.
void maker_t::add(tree_t* tree, const std::string& dir, int depth, odd_dirs_t odd)
{
    const int roll = rng_.below(100);
    std::string name = pick_name(rng_);
    if (roll >= 82) {
        if (roll < 90) {
            name = rng_.pick(DOT_NAMES);
            if (rng_.chance(50)) {
                place(tree, dir, name, file());
                return;
            }
        } else if (roll < 97) {
            place(tree, dir, name, link());
            return;
        } else {
            place(tree, dir, rng_.chance(50) ? std::string("pipe") : name, {.kind = kind_t::special});
            return;
        }
    }
    if (roll < 60 || depth > 4) {
        place(tree, dir, name, file());
        return;
    }
    entry_t sub{.kind = kind_t::dir, .mode = 0755};
    if (rng_.chance(6) && odd == odd_dirs_t::locked)
        sub.mode = rng_.pick(LOCKED_DIR_MODES);
    else if (rng_.chance(6) && odd == odd_dirs_t::sealed)
        sub.mode = SEALED_DIR_MODE;
    const std::string path = place(tree, dir, name, sub);
    if (path.empty())
        return;
    const int count = rng_.below(6 - depth);
    for (int i = 0; i < count; ++i)
        add(tree, path, depth + 1, odd);
}

tree_t maker_t::tree(int entries, odd_dirs_t odd)
{
    tree_t result;
    for (int i = 0; i < entries; ++i)
        add(&result, "", 1, odd);
    return result;
}

void maker_t::change(const std::string& root, bool dest_side)
{
    const int count = rng_.below(6);
    for (int i = 0; i < count; ++i) {
        const tree_t tree = read_tree(root);
        const std::vector<std::string> files = paths_of(tree, kind_t::file);
        std::vector<std::string> dirs = paths_of(tree, kind_t::dir);
        const int what = rng_.below(dest_side ? 11 : 10);
        if (files.empty() && what <= 4)
            continue;
        const std::string chosen = files.empty() ? "" : rng_.pick(files);
        const std::string file_path = root + "/" + chosen;
        switch (what) {
        case 0: {  // new bytes, new time
            const entry_t& old = tree.at(chosen);
            entry_t fresh = file();
            if (rng_.chance(30))
                fresh.bytes = random_bytes(old.bytes.size(), rng_.engine());
            write_file(file_path, fresh.bytes, old.mode, fresh.sec, fresh.nsec);
            break;
        }
        case 1: {  // new bytes, time kept: only a change of size can show
            const entry_t& old = tree.at(chosen);
            std::string bytes = old.bytes;
            if (rng_.chance(50))
                bytes += random_bytes(1 + static_cast<std::size_t>(rng_.below(100)), rng_.engine());
            else if (!bytes.empty())
                bytes[static_cast<std::size_t>(rng_.below(static_cast<int>(bytes.size())))] ^= 0x5a;
            write_file(file_path, bytes, old.mode, old.sec, old.nsec);
            break;
        }
        case 2: {  // older or newer, by a little or a lot
            const entry_t& old = tree.at(chosen);
            const std::int64_t steps[] = {1, 2, 3, 60, 3600, 86400, 86400 * 40};
            std::int64_t sec = old.sec + (rng_.chance(50) ? 1 : -1) * rng_.pick(steps);
            sec = std::min<std::int64_t>(sec, std::time(nullptr) - 2);
            // On the destination, sometimes a copy that a run cut short left
            // with the time of an unfinished copy.
            if (dest_side && rng_.chance(30))
                sec = UNFINISHED_COPY_SEC;
            set_time(file_path, sec, rng_.chance(80) ? 0 : old.nsec);
            break;
        }
        case 3:  // other permission bits, sometimes of a directory
            if (!dirs.empty() && rng_.chance(25)) {
                const std::string dir = rng_.pick(dirs);
                const unsigned locked = dest_side ? SEALED_DIR_MODE : rng_.pick(LOCKED_DIR_MODES);
                chmod((root + "/" + dir).c_str(), rng_.chance(50) ? 0755u : locked);
            } else {
                chmod(file_path.c_str(), rng_.pick(FILE_MODES));
            }
            break;
        case 4:  // a file becomes a directory
            remove_entry(file_path);
            mkdir(file_path.c_str(), 0777);
            if (rng_.chance(60)) {
                const entry_t inner = file();
                write_file(file_path + "/" + pick_name(rng_), inner.bytes, inner.mode, inner.sec, inner.nsec);
            }
            break;
        case 5:  // a directory becomes a file
            if (!dirs.empty()) {
                const std::string dir = rng_.pick(dirs);
                remove_entry(root + "/" + dir);
                const entry_t fresh = file();
                write_file(root + "/" + dir, fresh.bytes, fresh.mode, fresh.sec, fresh.nsec);
            }
            break;
        case 6:
        case 7: {  // something deleted
            std::vector<std::string> all;
            for (const auto& [path, entry] : tree)
                all.push_back(path);
            if (!all.empty())
                remove_entry(root + "/" + rng_.pick(all));
            break;
        }
        default: {  // something added; on the destination often a hidden entry
            dirs.push_back("");
            const std::string dir = rng_.pick(dirs);
            tree_t added;
            const int depth = dir.empty() ? 1 : 1 + static_cast<int>(std::count(dir.begin(), dir.end(), '/')) + 1;
            add(&added, "", std::min(depth, 4), dest_side ? odd_dirs_t::sealed : odd_dirs_t::locked);
            tree_t placed;
            for (const auto& [path, entry] : added)
                placed[dir.empty() ? path : dir + "/" + path] = entry;
            if (!placed.empty() && tree.count(placed.begin()->first) == 0)
                write_tree(root, placed);
            break;
        }
        }
    }
}

run_plan_t plan_run(rng_t& rng, const std::string& root, int run_index, bool linked)
{
    run_plan_t plan;
    std::vector<std::string> options;
    const int mode_roll = rng.below(100);
    int mode = 0;
    if (mode_roll < 10) {
        mode = 0;  // the default, no option
    } else if (mode_roll < 40) {
        mode = 0;
        options.push_back("-m0");
    } else if (mode_roll < 58) {
        mode = 1;
        options.push_back("-m1");
    } else if (mode_roll < 72) {
        mode = 2;
        options.push_back("-m2");
    } else if (mode_roll < 97) {
        mode = 3;
        options.push_back("-m3");
    } else {
        mode = 7;
        options.push_back("-m7");
    }
    plan.model.copy_mode = mode;
    std::string flags;
    if (rng.chance(25)) {
        flags += 'p';
        plan.model.keep_extra = true;
    }
    if (rng.chance(15)) {
        flags += 'n';
        plan.model.skip_new = true;
    }
    if (rng.chance(10)) {
        flags += 'f';
        plan.model.force_copy = true;
    }
    if (rng.chance(mode == 3 ? 40 : 5)) {
        flags += 'd';
        plan.model.needed_dirs_only = true;
    }
    if (!flags.empty() && rng.chance(50)) {
        options.push_back("-" + flags);
    } else {
        for (char flag : flags)
            options.push_back(std::string("-") + flag);
    }
    if (rng.chance(20)) {
        const std::string name = rng.pick(NAMES);
        options.push_back("-x" + name);
        plan.model.exclude_all.push_back(name);
    }
    if (rng.chance(15)) {
        const std::string name = rng.pick(NAMES);
        options.push_back("-X" + name);
        plan.model.exclude_principal.push_back(name);
    }
    if (rng.chance(12)) {
        const bool principal = rng.chance(35);
        const std::string list = root + "/names" + std::to_string(run_index) + ".txt";
        const char* const gaps[] = {" ", "\n", "\t", "  \n\n", " \t"};
        std::string text = rng.chance(50) ? "\n" : "";
        const int count = 1 + rng.below(3);
        for (int i = 0; i < count; ++i) {
            const std::string name = rng.pick(NAMES);
            text += name + rng.pick(gaps);
            (principal ? plan.model.exclude_principal : plan.model.exclude_all).push_back(name);
        }
        write_file(list, list_file(text, rng.below(4)), 0644, std::time(nullptr), 0);
        options.push_back(std::string(principal ? "-X@" : "-x@") + list);
    }
    if (rng.chance(3))
        options.push_back("-x");   // an empty name, which nothing matches
    if (rng.chance(2)) {
        options.push_back(std::string(rng.chance(50) ? "-x@" : "-X@") + root + "/no-such-list.txt");
        plan.refused = true;
    }
    if (rng.chance(12)) {
        const int limits[] = {0, 1, 3, 10};
        plan.model.removal_limit = rng.pick(limits);
        options.push_back("-c" + std::to_string(plan.model.removal_limit));
    }
    if (rng.chance(10))
        options.push_back(rng.chance(50) ? "-b4096" : "-b65536");
    if (rng.chance(25)) {
        plan.versions = root + "/vers";
        options.push_back("-k" + plan.versions);
    }
    plan.verbose = rng.chance(50);
    options.push_back(plan.verbose ? "-v1" : "-v0");
    plan.log_path = root + "/run.log";
    options.push_back(rng.chance(50) ? "-lrun.log" : "-l" + plan.log_path);
    std::shuffle(options.begin(), options.end(), std::mt19937_64(rng.engine()()));

    const bool relative = rng.chance(50);
    std::string src = std::string(relative ? "" : root + "/") + (linked ? "sl" : "src");
    std::string dst = std::string(relative ? "" : root + "/") + (linked ? "dl" : "dst");
    if (rng.chance(20))
        src += "/";
    if (rng.chance(20))
        dst += "/";
    plan.args = options;
    plan.args.push_back(src);
    plan.args.push_back(dst);
    return plan;
}

}  // namespace oracle
