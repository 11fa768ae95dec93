#include "sync/lister.h"

#include <iterator>

#include "core/settings.h"
#include "listing/filelist_index.h"

namespace {

// Pairs listed ahead and not yet claimed are held in memory: so many at the
// most, and so many records in them, whatever the shape of the tree. A
// listing thread waits below these; the walk lists what it needs itself.
// Once the threads are this far ahead the walk is what takes the time, so
// a larger budget would only hold more memory.
constexpr std::uint64_t PAIR_BUDGET = 64;
constexpr std::uint64_t RECORD_BUDGET = 25000;

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
    work_.notify_all();
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
    walk_key_t key = parent;
    key.push_back(0);
    const std::lock_guard<std::mutex> lock(mutex_);
    add(std::move(key), src_parent, dst_parent, children);
}

// Adds `children` at `key` and the keys after it, to be opened through the
// two parents, and wakes as many listing threads as they can keep busy.
// Called with the mutex held.
void lister_t::add(walk_key_t key, fs_dir_t* src_parent, fs_dir_t* dst_parent,
                   const std::vector<both_sides_t>& children)
{
    for (const both_sides_t& child : children) {
        node_t& node = nodes_[key];
        node.src_parent = src_parent;
        node.dst_parent = dst_parent;
        node.pair = child;
        waiting_.insert(key);
        ++key.back();
    }
    for (std::size_t woken = 0; woken < children.size() && woken < workers_.size(); ++woken)
        work_.notify_one();
}

std::unique_ptr<listed_pair_t> lister_t::claim(const walk_key_t& key)
{
    if (workers_.empty())
        return nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = nodes_.find(key);
    if (found == nodes_.end())
        return nullptr;
    node_t& node = found->second;
    if (node.state == state_t::listing) {
        node.awaited = true;
        listed_.wait(lock, [&] { return node.state != state_t::listing; });
    }
    if (node.state == state_t::waiting)
        waiting_.erase(key);
    std::unique_ptr<listed_pair_t> listed = std::move(node.listed);
    bool freed = false;
    if (listed != nullptr) {
        const bool was_over = over_budget();
        --listed_pairs_;
        listed_records_ -= records_of(*listed);
        freed = was_over && !over_budget();
    }
    nodes_.erase(found);
    lock.unlock();
    if (freed)
        work_.notify_one();
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
        work_.wait(lock, [&] { return stopping_ || (!waiting_.empty() && !over_budget()); });
        if (stopping_)
            return;
        // The first pair in the walk's order that is waiting.
        const walk_key_t key = *waiting_.begin();
        waiting_.erase(waiting_.begin());
        node_t& node = nodes_.at(key);
        node.state = state_t::listing;
        lock.unlock();
        std::unique_ptr<listed_pair_t> listed = list(node);
        std::vector<both_sides_t> children;
        if (listed != nullptr)
            children = both_sides(&listed->src_dirs, &listed->dst_dirs);
        lock.lock();

        // The walk waits for this pair while it is being listed, so it is
        // still here. Its own sub-directories are offered at once: their
        // lists cannot change before the walk reaches them.
        if (listed == nullptr) {
            node.state = state_t::failed;
        } else {
            ++listed_pairs_;
            listed_records_ += records_of(*listed);
            fs_dir_t* src_parent = listed->src_dir;
            fs_dir_t* dst_parent = listed->dst_dir;
            node.listed = std::move(listed);
            node.state = state_t::listed;
            walk_key_t child_key = key;
            child_key.push_back(0);
            add(std::move(child_key), src_parent, dst_parent, children);
        }
        if (node.awaited)
            listed_.notify_one();
    }
}
