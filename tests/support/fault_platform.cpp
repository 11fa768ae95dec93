#include "support/fault_platform.h"

#include <algorithm>
#include <map>
#include <mutex>

fault_plan_t fault_plan;
recorded_console_t console;
std::vector<std::string> fault_log;

namespace {

platform_t faulty;

// The walk's listing threads reach the double too: one of them at a time.
std::recursive_mutex guard;

// What the double knows of each open file: its path and what passed.
struct open_file_t {
    std::string path;
    std::uint64_t done = 0;      // bytes read or written so far
    bool watched = false;        // the during_copy hook waits on it
    bool hooked = false;
};
std::map<const fs_file_t*, open_file_t> reads;
std::map<const fs_out_t*, open_file_t> writes;
std::size_t most_writes = 0;                   // the most destination files open at once
std::map<const fs_dir_t*, open_file_t> dirs;   // done counts entries listed
std::map<const fs_dir_t*, bool> listing;       // a listing under way

const platform_t& real()
{
    return native_platform;
}

int usual_error(fault_op_t op)
{
    switch (op) {
    case fault_op_t::write:
    case fault_op_t::append: return real().error_code(ERR_NO_SPACE);
    case fault_op_t::create: return real().error_code(ERR_NOT_FOUND);
    default: return real().error_code(ERR_OTHER);
    }
}

// The rule that strikes `op` on `path` now, counting the strike; nullptr
// when none does.
const fault_rule_t* strike(fault_op_t op, const std::string& path)
{
    for (fault_rule_t& rule : fault_plan.rules) {
        if (rule.op != op || (!rule.path.empty() && rule.path != path) || rule.times == 0)
            continue;
        if (rule.times > 0)
            --rule.times;
        return &rule;
    }
    return nullptr;
}

// The first rule for `op` on `path` that limits a transfer, without
// counting a strike.
const fault_rule_t* limit(fault_op_t op, const std::string& path)
{
    for (const fault_rule_t& rule : fault_plan.rules) {
        if (rule.op == op && (rule.path.empty() || rule.path == path) && rule.times != 0)
            return &rule;
    }
    return nullptr;
}

int error_of(const fault_rule_t* rule)
{
    return rule->error != 0 ? rule->error : usual_error(rule->op);
}

void note(const char* operation, const std::string& path)
{
    fault_log.push_back(std::string(operation) + " " + path);
}

std::string without_trailing_separator(std::string path)
{
    while (path.size() > 1 && real().is_separator(path.back()))
        path.pop_back();
    return path;
}

// The full path of `name` in `dir`.
std::string path_in(const fs_dir_t* dir, const char* name)
{
    if (dir == nullptr)
        return without_trailing_separator(name);
    auto found = dirs.find(dir);
    const std::string base = found != dirs.end() ? found->second.path : std::string("?");
    if (!base.empty() && real().is_separator(base.back()))
        return base + name;
    return base + real().separator + name;
}

fs_file_t* fake_open_read_at(fs_dir_t* dir, const char* name)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string path = path_in(dir, name);
    note("open_read", path);
    if (const fault_rule_t* rule = strike(fault_op_t::open_read, path)) {
        real().set_last_error(error_of(rule));
        return nullptr;
    }
    fs_file_t* file = real().open_read_at(dir, name);
    if (file != nullptr)
        reads[file] = {path, 0, !fault_plan.during_copy.empty() && fault_plan.during_copy == path, false};
    return file;
}

// Counts what the copy took from a source and runs the test's hook once
// the planned amount is reached.
void note_taken(const fs_file_t* file, std::int64_t count)
{
    auto found = reads.find(file);
    if (found == reads.end() || count <= 0)
        return;
    open_file_t& source = found->second;
    source.done += static_cast<std::uint64_t>(count);
    if (source.watched && !source.hooked && source.done >= fault_plan.during_copy_after &&
        fault_plan.during_copy_hook) {
        source.hooked = true;
        fault_plan.during_copy_hook();
    }
}

// How much of a transfer of `count` bytes may pass before the planned
// fault; `struck` tells that none may.
std::uint64_t room_for(fault_op_t op, const open_file_t& file, std::uint64_t count, const fault_rule_t** struck)
{
    *struck = nullptr;
    const fault_rule_t* rule = limit(op, file.path);
    if (rule == nullptr)
        return count;
    if (file.done >= rule->after) {
        *struck = rule;
        return 0;
    }
    return std::min(count, rule->after - file.done);
}

std::int64_t fake_read(fs_file_t* file, void* buffer, std::uint64_t count)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    auto found = reads.find(file);
    if (found != reads.end()) {
        const fault_rule_t* struck;
        count = room_for(fault_op_t::read, found->second, count, &struck);
        if (struck != nullptr) {
            real().set_last_error(error_of(struck));
            return -1;
        }
    }
    const std::int64_t got = real().read(file, buffer, count);
    note_taken(file, got);
    return got;
}

void fake_close_read(fs_file_t* file)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    reads.erase(file);
    real().close_read(file);
}

fs_out_t* fake_create_temp_at(fs_dir_t* dir, const char* name, fs_file_t* like)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string dst_path = path_in(dir, name);
    note("create", dst_path);
    if (const fault_rule_t* rule = strike(fault_op_t::create, dst_path)) {
        real().set_last_error(error_of(rule));
        return nullptr;
    }
    fs_out_t* out = real().create_temp_at(dir, name, like);
    if (out != nullptr) {
        writes[out] = {dst_path};
        most_writes = std::max(most_writes, writes.size());
    }
    return out;
}

std::int64_t fake_write(fs_out_t* out, const void* buffer, std::uint64_t count)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    auto found = writes.find(out);
    if (found == writes.end())
        return real().write(out, buffer, count);
    const fault_rule_t* struck;
    const std::uint64_t part = room_for(fault_op_t::write, found->second, count, &struck);
    if (struck != nullptr) {
        real().set_last_error(error_of(struck));
        return -1;
    }
    const std::int64_t put = real().write(out, buffer, part);
    if (put > 0)
        found->second.done += static_cast<std::uint64_t>(put);
    return put;
}

// Planned read and write faults live on the copy-buffer path: a copy they
// concern is refused the in-kernel way, as a file system without it would.
std::int64_t fake_copy_range(fs_file_t* in, fs_out_t* out, std::uint64_t count)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    auto source = reads.find(in);
    auto destination = writes.find(out);
    const bool faulty_source = source != reads.end() && limit(fault_op_t::read, source->second.path) != nullptr;
    const bool faulty_destination =
        destination != writes.end() && limit(fault_op_t::write, destination->second.path) != nullptr;
    const std::string path = destination != writes.end() ? destination->second.path : std::string();
    if (faulty_source || faulty_destination || limit(fault_op_t::copy_range, path) != nullptr) {
        real().set_last_error(real().error_code(ERR_OTHER));
        return -1;
    }
    const std::int64_t moved = real().copy_range(in, out, count);
    note_taken(in, moved);
    return moved;
}

std::string path_of(const fs_out_t* out)
{
    auto found = writes.find(out);
    return found != writes.end() ? found->second.path : std::string();
}

int fake_protect_out(fs_out_t* out, fs_file_t* like)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    if (const fault_rule_t* rule = strike(fault_op_t::protect, path_of(out))) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().protect_out(out, like);
}

int fake_commit(fs_out_t* out, bool replace)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string dst_path = path_of(out);
    note("commit", dst_path);
    if (const fault_rule_t* rule = strike(fault_op_t::commit, dst_path)) {
        writes.erase(out);
        real().discard(out);
        real().set_last_error(error_of(rule));
        return -1;
    }
    const int result = real().commit(out, replace);
    if (result != 0)
        writes.erase(out);   // released
    return result;
}

std::size_t fake_flush_outs(fs_out_t* const* outs, std::size_t count, int* errors, unsigned threads,
                            bool* one_by_one)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    real().flush_outs(outs, count, errors, threads, one_by_one);
    std::size_t failed = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string dst_path = path_of(outs[i]);
        note("flush", dst_path);
        if (const fault_rule_t* rule = strike(fault_op_t::flush, dst_path))
            errors[i] = error_of(rule);
        failed += errors[i] != 0;
    }
    if (fault_plan.during_flush)
        fault_plan.during_flush();
    return failed;
}

int fake_close_out(fs_out_t* out)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    note("close_out", path_of(out));
    writes.erase(out);
    return real().close_out(out);
}

std::size_t fake_open_outs_limit()
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    return std::min(fault_plan.open_outs_limit, real().open_outs_limit());
}

void fake_discard(fs_out_t* out)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    auto found = writes.find(out);
    note("discard", found != writes.end() ? found->second.path : std::string());
    writes.erase(out);
    real().discard(out);
}

fs_dir_t* fake_dir_open(fs_dir_t* base, const char* path, bool follow, fs_id_t* id)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string full = path_in(base, path);
    if (fault_plan.before_dir_open)
        fault_plan.before_dir_open(full);
    if (const fault_rule_t* rule = strike(fault_op_t::dir_open, full)) {
        real().set_last_error(error_of(rule));
        return nullptr;
    }
    fs_dir_t* dir = real().dir_open(base, path, follow, id);
    if (dir != nullptr)
        dirs[dir] = {full};
    return dir;
}

int fake_dir_place(fs_dir_t* dir, fs_place_t* place)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    auto found = dirs.find(dir);
    if (const fault_rule_t* rule = strike(fault_op_t::dir_place, found != dirs.end() ? found->second.path : "?")) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().dir_place(dir, place);
}

void fake_dir_close(fs_dir_t* dir)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    dirs.erase(dir);
    listing.erase(dir);
    real().dir_close(dir);
}

int fake_dir_next(fs_dir_t* dir, dos_dirent_t* entry)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    open_file_t& state = dirs[dir];
    if (!listing[dir]) {
        listing[dir] = true;
        note("list_open", state.path);
        if (const fault_rule_t* rule = strike(fault_op_t::list_open, state.path)) {
            real().set_last_error(error_of(rule));
            return -1;
        }
    }
    const fault_rule_t* struck;
    room_for(fault_op_t::list_read, state, 1, &struck);
    int got;
    if (struck != nullptr) {
        real().set_last_error(error_of(struck));
        got = -1;
    } else {
        got = real().dir_next(dir, entry);
    }
    if (got > 0) {
        ++state.done;
        return got;
    }
    // The listing is over; another one of the same directory starts afresh.
    listing[dir] = false;
    state.done = 0;
    if (fault_plan.after_listing) {
        const int saved = real().last_error();
        const std::string path = state.path + real().separator;
        fault_plan.after_listing(path);
        real().set_last_error(saved);
    }
    return got;
}

int fake_remove_file_at(fs_dir_t* dir, const char* name)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string path = path_in(dir, name);
    note("remove_file", path);
    if (const fault_rule_t* rule = strike(fault_op_t::remove_file, path)) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().remove_file_at(dir, name);
}

int fake_remove_dir_at(fs_dir_t* dir, const char* name)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    note("remove_dir", path_in(dir, name));
    return real().remove_dir_at(dir, name);
}

int fake_make_dir_at(fs_dir_t* dir, const char* name)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    note("make_dir", path_in(dir, name));
    return real().make_dir_at(dir, name);
}

int fake_make_dir(const char* path)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    note("make_dir", without_trailing_separator(path));
    return real().make_dir(path);
}

int fake_set_dir_protection(fs_dir_t* dir, fs_dir_t* like)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    note("set_protection", dirs[dir].path);
    return real().set_dir_protection(dir, like);
}

int fake_set_file_protection(fs_dir_t* dir, const char* name, std::uint64_t size, fs_time_t mtime,
                             fs_dir_t* like_dir, const char* like_name)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string path = path_in(dir, name);
    note("set_protection", path);
    if (const fault_rule_t* rule = strike(fault_op_t::protect, path)) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().set_file_protection(dir, name, size, mtime, like_dir, like_name);
}

int fake_respell_at(fs_dir_t* dir, const char* from, const char* to)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string path = path_in(dir, from);
    note("respell", path + " " + to);
    if (const fault_rule_t* rule = strike(fault_op_t::respell, path)) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().respell_at(dir, from, to);
}

int fake_move_at(fs_dir_t* dir, const char* from, fs_dir_t* to_dir, const char* to)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string path = path_in(dir, from);
    note("move", path + " " + path_in(to_dir, to));
    if (const fault_rule_t* rule = strike(fault_op_t::move, path)) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().move_at(dir, from, to_dir, to);
}

case_rule_t fake_case_rule(fs_dir_t* dir, bool* per_directory)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    if (fault_plan.case_rule) {
        *per_directory = false;
        return *fault_plan.case_rule;
    }
    return real().case_rule(dir, per_directory);
}

int fake_lock_dir(fs_dir_t* dir)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    const std::string path = dirs[dir].path;
    note("lock", path);
    if (const fault_rule_t* rule = strike(fault_op_t::lock, path)) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().lock_dir(dir);
}

int fake_append_text(const char* path, const char* bytes, std::size_t count)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    note("append", path);
    if (const fault_rule_t* rule = strike(fault_op_t::append, path)) {
        real().set_last_error(error_of(rule));
        return -1;
    }
    return real().append_text(path, bytes, count);
}

void fake_con_write(int stream, const char* bytes, std::size_t count)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    (stream == CON_ERR ? console.err : console.out).append(bytes, count);
    console.both.append(bytes, count);
}

void fake_con_flush()
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    ++console.flushes;
}

void fake_con_read_key()
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    ++console.key_reads;
}

std::time_t fake_clock_now()
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    return fault_plan.now != -1 ? fault_plan.now : real().clock_now();
}

void* fake_mem_try_alloc(std::size_t size)
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    if (size > fault_plan.alloc_limit)
        return nullptr;
    return real().mem_try_alloc(size);
}

}  // namespace

ScopedFaults::ScopedFaults()
{
    fault_plan = fault_plan_t{};
    console = recorded_console_t{};
    fault_log.clear();
    reads.clear();
    writes.clear();
    most_writes = 0;
    dirs.clear();
    listing.clear();
    faulty = native_platform;
    faulty.dir_open = fake_dir_open;
    faulty.dir_close = fake_dir_close;
    faulty.dir_place = fake_dir_place;
    faulty.dir_next = fake_dir_next;
    faulty.remove_file_at = fake_remove_file_at;
    faulty.remove_dir_at = fake_remove_dir_at;
    faulty.make_dir_at = fake_make_dir_at;
    faulty.make_dir = fake_make_dir;
    faulty.set_dir_protection = fake_set_dir_protection;
    faulty.set_file_protection = fake_set_file_protection;
    faulty.respell_at = fake_respell_at;
    faulty.move_at = fake_move_at;
    faulty.case_rule = fake_case_rule;
    faulty.lock_dir = fake_lock_dir;
    faulty.open_read_at = fake_open_read_at;
    faulty.read = fake_read;
    faulty.close_read = fake_close_read;
    faulty.create_temp_at = fake_create_temp_at;
    faulty.write = fake_write;
    faulty.copy_range = fake_copy_range;
    faulty.protect_out = fake_protect_out;
    faulty.commit = fake_commit;
    faulty.flush_outs = fake_flush_outs;
    faulty.close_out = fake_close_out;
    faulty.open_outs_limit = fake_open_outs_limit;
    faulty.discard = fake_discard;
    faulty.append_text = fake_append_text;
    faulty.con_write = fake_con_write;
    faulty.con_flush = fake_con_flush;
    faulty.con_read_key = fake_con_read_key;
    faulty.clock_now = fake_clock_now;
    faulty.mem_try_alloc = fake_mem_try_alloc;
    previous_ = plat_install(&faulty);
}

ScopedFaults::~ScopedFaults()
{
    plat_install(previous_);
}

int open_descriptors()
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    return static_cast<int>(reads.size() + writes.size());
}

int most_open_copies()
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    return static_cast<int>(most_writes);
}

int open_directories()
{
    const std::lock_guard<std::recursive_mutex> lock(guard);
    return static_cast<int>(dirs.size());
}
