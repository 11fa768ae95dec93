#include "sync/lister.h"

#include <exception>
#include <system_error>

#include "listing/filelist_index.h"

// A sub-directory that a pair's lists show under the same name on both
// sides, at `place` among the pair's source sub-directories.
struct both_sides_t {
    std::string name;
    fs_id_t src_id;
    fs_id_t dst_id;
    std::uint32_t place;
};

// One sub-directory pair offered to be listed ahead. It is opened through
// its parent pair's directories, which stay open while it is offered.
struct offer_t {
    enum class state_t { waiting, listing, listed, failed };
    state_t state = state_t::waiting;
    bool awaited = false;              // the walk waits for its listing to end
    walk_key_t key;
    std::uint64_t order = 0;
    fs_dir_t* src_parent = nullptr;
    fs_dir_t* dst_parent = nullptr;
    both_sides_t pair;
    std::unique_ptr<listed_pair_t> listed;
};

namespace {

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

// The sub-directories on both sides of a pair's lists, in the walk's order.
std::vector<both_sides_t> both_sides(const filelist_head_t* src_dirs, const filelist_head_t* dst_dirs)
{
    std::vector<both_sides_t> pairs;
    const filelist_index_t destination(const_cast<filelist_head_t*>(dst_dirs));
    std::uint32_t place = 0;
    for (const filelist_t* record = src_dirs->next; record != src_dirs; record = record->next, ++place) {
        const filelist_t* there = destination.find(record->name());
        if (there != nullptr)
            pairs.push_back({record->name(), record->id(), there->id(), place});
    }
    return pairs;
}

}  // namespace

bool lister_t::by_walk_order::operator()(const offer_t* a, const offer_t* b) const
{
    if (a->key != b->key)
        return a->key < b->key;
    return a->order < b->order;
}

offered_t::offered_t() = default;

offered_t::~offered_t()
{
    cancel();
}

offered_t::offered_t(offered_t&& other) noexcept : lister_(other.lister_), offers_(std::move(other.offers_))
{
    other.offers_.clear();
}

offered_t& offered_t::operator=(offered_t&& other) noexcept
{
    if (this != &other) {
        cancel();
        lister_ = other.lister_;
        offers_ = std::move(other.offers_);
        other.offers_.clear();
    }
    return *this;
}

std::unique_ptr<listed_pair_t> offered_t::claim(const char* name)
{
    const auto found = offers_.find(name);
    if (found == offers_.end())
        return nullptr;
    const std::unique_ptr<offer_t> offer = std::move(found->second);
    offers_.erase(found);
    return lister_->claim(offer.get());
}

void offered_t::cancel()
{
    if (offers_.empty())
        return;
    // What was listed goes after the lock is let go: it cancels the offers
    // of its own sub-directories in turn.
    std::vector<std::unique_ptr<listed_pair_t>> dropped = lister_->cancel(this);
    offers_.clear();
}

lister_t::lister_t(const run_t& run, unsigned workers, std::uint64_t pair_budget, std::uint64_t record_budget)
    : run_(run), pair_budget_(pair_budget), record_budget_(record_budget)
{
    // A process or thread limit may refuse some: the walk lists what the
    // threads that started do not, down to everything.
    for (unsigned i = 0; i < workers; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
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
}

void lister_t::offer(offered_t* into, const walk_key_t& parent, fs_dir_t* src_parent, fs_dir_t* dst_parent,
                     const filelist_head_t* src_dirs, const filelist_head_t* dst_dirs)
{
    if (workers_.empty() || Filelist_empty(src_dirs) || Filelist_empty(dst_dirs))
        return;
    std::vector<both_sides_t> children;
    try {
        children = both_sides(src_dirs, dst_dirs);
    } catch (const std::bad_alloc&) {
        return;   // nothing offered: the walk lists them itself
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    add_offers(into, parent, src_parent, dst_parent, children);
}

// Adds the offers of `children` to `into` and to the waiting ones, and wakes
// as many listing threads as they can keep busy. Called with the mutex held.
void lister_t::add_offers(offered_t* into, const walk_key_t& parent, fs_dir_t* src_parent, fs_dir_t* dst_parent,
                          std::vector<both_sides_t>& children)
{
    into->lister_ = this;
    std::size_t added = 0;
    for (both_sides_t& child : children) {
        auto offer = std::make_unique<offer_t>();
        offer->key = parent;
        offer->key.push_back(child.place);
        offer->order = offers_made_++;
        offer->src_parent = src_parent;
        offer->dst_parent = dst_parent;
        offer->pair = std::move(child);
        // A name listed twice is offered once.
        const auto [at, inserted] = into->offers_.try_emplace(offer->pair.name, nullptr);
        if (!inserted)
            continue;
        waiting_.insert(offer.get());
        at->second = std::move(offer);
        ++added;
    }
    for (std::size_t woken = 0; woken < added && woken < workers_.size(); ++woken)
        work_.notify_one();
}

std::unique_ptr<listed_pair_t> lister_t::claim(offer_t* offer)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (offer->state == offer_t::state_t::listing) {
        offer->awaited = true;
        listed_.wait(lock, [&] { return offer->state != offer_t::state_t::listing; });
    }
    if (offer->state == offer_t::state_t::waiting)
        waiting_.erase(offer);
    std::unique_ptr<listed_pair_t> listed = std::move(offer->listed);
    bool freed = false;
    if (listed != nullptr) {
        const bool was_over = over_budget();
        --listed_pairs_;
        listed_records_ -= records_of(*listed);
        freed = was_over && !over_budget();
    }
    lock.unlock();
    if (freed)
        work_.notify_one();
    return listed;
}

std::vector<std::unique_ptr<listed_pair_t>> lister_t::cancel(offered_t* offered)
{
    std::vector<std::unique_ptr<listed_pair_t>> dropped;
    std::unique_lock<std::mutex> lock(mutex_);
    const bool was_over = over_budget();
    for (auto& [name, offer] : offered->offers_) {
        if (offer->state == offer_t::state_t::waiting) {
            waiting_.erase(offer.get());
            continue;
        }
        if (offer->state == offer_t::state_t::listing) {
            // It is opened through the directories about to close.
            offer->awaited = true;
            offer_t* const waited = offer.get();
            listed_.wait(lock, [&] { return waited->state != offer_t::state_t::listing; });
        }
        if (offer->listed != nullptr) {
            --listed_pairs_;
            listed_records_ -= records_of(*offer->listed);
            dropped.push_back(std::move(offer->listed));
        }
    }
    const bool freed = was_over && !over_budget();
    lock.unlock();
    if (freed)
        work_.notify_all();
    return dropped;
}

// Pairs being listed count against the budget of pairs already: their
// records are known only once they are listed.
bool lister_t::over_budget() const
{
    return listed_pairs_ + listing_ >= pair_budget_ || listed_records_ >= record_budget_;
}

std::unique_ptr<listed_pair_t> lister_t::list(const offer_t& offer)
{
    auto pair = std::make_unique<listed_pair_t>();
    pair->key = offer.key;
    pair->src_id = offer.pair.src_id;
    pair->dst_id = offer.pair.dst_id;
    pair->src_dir.reset(open_same(offer.src_parent, offer.pair.name, offer.pair.src_id));
    if (!pair->src_dir)
        return nullptr;
    pair->dst_dir.reset(open_same(offer.dst_parent, offer.pair.name, offer.pair.dst_id));
    if (!pair->dst_dir)
        return nullptr;
    // Nothing is said ahead of the walk: a failure leaves the pair to the
    // walk, which reports what it meets in its own order.
    fs_error_t failure;
    pair->files_scanned = Filelist_scan(run_, pair->src_dir.get(), "", &pair->src_dirs, &pair->src_files,
                                        {.principal = false, .hidden = nullptr, .quiet = true, .ahead = true},
                                        &failure);
    if (failure)
        return nullptr;
    const fs_id_t* log = run_.log.id ? &*run_.log.id : nullptr;
    Filelist_scan(run_, pair->dst_dir.get(), "", &pair->dst_dirs, &pair->dst_files,
                  {.principal = false, .hidden = log, .quiet = true, .ahead = true}, &failure);
    if (failure)
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
        offer_t* offer = *waiting_.begin();
        waiting_.erase(waiting_.begin());
        offer->state = offer_t::state_t::listing;
        ++listing_;
        lock.unlock();
        // A thread never ends the run: whatever goes wrong here (memory, a
        // failure of the system) leaves the pair to the walk.
        std::unique_ptr<listed_pair_t> listed;
        std::vector<both_sides_t> children;
        try {
            listed = list(*offer);
            if (listed != nullptr)
                children = both_sides(&listed->src_dirs, &listed->dst_dirs);
        } catch (const std::exception&) {
            listed = nullptr;
        }
        lock.lock();
        --listing_;

        // The walk waits for this offer while it is being listed, so it is
        // still here. Its own sub-directories are offered at once: their
        // lists cannot change before the walk reaches them.
        if (listed == nullptr) {
            offer->state = offer_t::state_t::failed;
        } else {
            try {
                add_offers(&listed->children, listed->key, listed->src_dir.get(), listed->dst_dir.get(), children);
            } catch (const std::exception&) {
                // The offers made so far stay; the walk lists the others.
            }
            ++listed_pairs_;
            listed_records_ += records_of(*listed);
            offer->listed = std::move(listed);
            offer->state = offer_t::state_t::listed;
        }
        if (offer->awaited)
            listed_.notify_all();
    }
}
