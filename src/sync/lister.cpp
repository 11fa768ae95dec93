#include "sync/lister.h"

#include <iterator>

#include "core/settings.h"
#include "listing/filelist_index.h"

namespace {

// Pairs listed ahead and not yet claimed are held in memory: so many at the
// most, and so many records in them, whatever the shape of the tree. A
// listing thread waits below these; the walk lists what it needs itself.
constexpr std::uint64_t PAIR_BUDGET = 256;
constexpr std::uint64_t RECORD_BUDGET = 100000;

std::uint64_t records_of(const listed_pair_t& pair)
{
    return pair.src_dirs.records + pair.src_files.records + pair.dst_dirs.records + pair.dst_files.records;
}

// Opens the sub-directory `name` of `parent`, never through a link, and
// only if it is the one listed.
fs_dir_t* open_same(fs_dir_t* parent, const std::string& name, const fs_id_t& listed)
{
    fs_id_t opened;
    fs_dir_t* dir = fs_dir_open(parent, name.c_str(), false, &opened);
    if (dir != nullptr && !(opened == listed)) {
        fs_dir_close(dir);
        return nullptr;
    }
    return dir;
}

}  // namespace

listed_pair_t::~listed_pair_t()
{
    if (src_dir != nullptr)
        fs_dir_close(src_dir);
    if (dst_dir != nullptr)
        fs_dir_close(dst_dir);
}

lister_t::lister_t(unsigned workers)
{
    for (unsigned i = 0; i < workers; ++i)
        workers_.emplace_back([this] { work(); });
}

lister_t::~lister_t()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
    // Anything left unclaimed (a run that ended early) goes, children first:
    // they are opened through their parents' directories.
    while (!nodes_.empty())
        nodes_.erase(std::prev(nodes_.end()));
}

std::vector<both_sides_t> lister_t::both_sides(filelist_head_t* src_dirs, filelist_head_t* dst_dirs)
{
    std::vector<both_sides_t> pairs;
    const filelist_index_t destination(dst_dirs);
    for (const filelist_t* record = src_dirs->next; record != src_dirs; record = record->next) {
        const filelist_t* there = destination.find(record->name());
        if (there != nullptr)
            pairs.push_back({record->name(), record->id(), there->id()});
    }
    return pairs;
}

void lister_t::offer(const walk_key_t& parent, fs_dir_t* src_parent, fs_dir_t* dst_parent,
                     const std::vector<both_sides_t>& children)
{
    if (workers_.empty() || children.empty())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        walk_key_t key = parent;
        key.push_back(0);
        for (const both_sides_t& child : children) {
            node_t& node = nodes_[key];
            node.src_parent = src_parent;
            node.dst_parent = dst_parent;
            node.pair = child;
            ++key.back();
        }
    }
    changed_.notify_all();
}

std::unique_ptr<listed_pair_t> lister_t::claim(const walk_key_t& key)
{
    if (workers_.empty())
        return nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = nodes_.find(key);
    if (found == nodes_.end())
        return nullptr;
    changed_.wait(lock, [&] { return found->second.state != state_t::listing; });
    std::unique_ptr<listed_pair_t> listed = std::move(found->second.listed);
    if (listed != nullptr) {
        --listed_pairs_;
        listed_records_ -= records_of(*listed);
    }
    nodes_.erase(found);
    lock.unlock();
    changed_.notify_all();
    return listed;
}

bool lister_t::over_budget() const
{
    return listed_pairs_ >= PAIR_BUDGET || listed_records_ >= RECORD_BUDGET;
}

std::unique_ptr<listed_pair_t> lister_t::list(const node_t& node)
{
    auto pair = std::make_unique<listed_pair_t>();
    pair->src_dir = open_same(node.src_parent, node.pair.name, node.pair.src_id);
    if (pair->src_dir == nullptr)
        return nullptr;
    pair->dst_dir = open_same(node.dst_parent, node.pair.name, node.pair.dst_id);
    if (pair->dst_dir == nullptr)
        return nullptr;
    // Nothing is said ahead of the walk: a failure leaves the pair to the
    // walk, which reports what it meets in its own order.
    int failure = 0;
    pair->files_scanned = Filelist_scan(pair->src_dir, "", &pair->src_dirs, &pair->src_files,
                                        {.principal = false, .hidden = nullptr, .quiet = true, .ahead = true},
                                        &failure);
    if (failure != 0)
        return nullptr;
    const fs_id_t* log = RunSettings.log_id ? &*RunSettings.log_id : nullptr;
    Filelist_scan(pair->dst_dir, "", &pair->dst_dirs, &pair->dst_files,
                  {.principal = false, .hidden = log, .quiet = true, .ahead = true}, &failure);
    if (failure != 0)
        return nullptr;
    return pair;
}

void lister_t::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_)
            return;
        // The first pair in the walk's order that is waiting.
        auto next = nodes_.end();
        if (!over_budget()) {
            for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
                if (it->second.state == state_t::waiting) {
                    next = it;
                    break;
                }
            }
        }
        if (next == nodes_.end()) {
            changed_.wait(lock);
            continue;
        }
        next->second.state = state_t::listing;
        const walk_key_t key = next->first;
        const node_t& node = next->second;
        lock.unlock();
        std::unique_ptr<listed_pair_t> listed = list(node);
        std::vector<both_sides_t> children;
        if (listed != nullptr)
            children = both_sides(&listed->src_dirs, &listed->dst_dirs);
        lock.lock();

        // The walk waits for this pair while it is being listed, so it is
        // still here. Its own sub-directories are offered at once: their
        // lists cannot change before the walk reaches them.
        node_t& done = nodes_.at(key);
        if (listed == nullptr) {
            done.state = state_t::failed;
        } else {
            ++listed_pairs_;
            listed_records_ += records_of(*listed);
            fs_dir_t* src_parent = listed->src_dir;
            fs_dir_t* dst_parent = listed->dst_dir;
            done.listed = std::move(listed);
            done.state = state_t::listed;
            walk_key_t child_key = key;
            child_key.push_back(0);
            for (const both_sides_t& child : children) {
                node_t& added = nodes_[child_key];
                added.src_parent = src_parent;
                added.dst_parent = dst_parent;
                added.pair = child;
                ++child_key.back();
            }
        }
        changed_.notify_all();
    }
}
