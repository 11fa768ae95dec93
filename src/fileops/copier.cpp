#include "fileops/copier.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include "core/output.h"
#include "fileops/copy_file.h"

namespace {

// How far the walk may decide ahead of the copies shown: enough copies to
// keep every thread busy while the ones before wait on a slow server, over
// enough directories that the threads need not queue for one (a tree of
// small directories of 20 files: 16 a thread kept the threads of a file
// server in about 6 directories, 32 made its first mirror a sixth faster,
// 64 no faster); and a few directories whose ends wait for their copies
// (each holds two open directories).
constexpr std::size_t COPIES_PER_THREAD = 32;
constexpr std::size_t WAITING_ACTIONS = 32;

// On a local disk a small copy is a handful of system calls that threads
// would only contend for (the directory, the journal), and a thread costs a
// hand-over per copy: there copies stay on the walk's thread. A destination
// where every small copy waits this long (a file server) is waiting on
// round trips, which threads overlap. Every one, not most: a local disk
// busy writing back, or a flush under way, makes most copies wait for a
// while (16 in a row took 0.2-1.6 ms each on a first mirror of 100,000
// files) but lets some through at once, and threads would only add to the
// contention there.
constexpr std::uint64_t SMALL_COPY = 64 * 1024;
constexpr std::int64_t WAITING_COPY_US = 400;

// A listing record copied out of its list, which the walk frees.
struct record_copy_t {
    void operator()(filelist_t* record) const { ::operator delete(record); }
};

std::unique_ptr<filelist_t, record_copy_t> copy_record(const filelist_t* entry)
{
    const std::size_t bytes = sizeof(filelist_t) + std::strlen(entry->name()) + 1;
    auto* record = static_cast<filelist_t*>(::operator new(bytes));
    std::memcpy(static_cast<void*>(record), entry, bytes);
    record->next = record->prev = nullptr;
    return std::unique_ptr<filelist_t, record_copy_t>(record);
}

}  // namespace

// One copy asked for.
struct copier_t::job_t final : copy_turn_t {
    copier_t* copier = nullptr;
    std::uint64_t seq = 0;          // its place in the walk's order
    std::unique_ptr<filelist_t, record_copy_t> entry;
    fs_dir_t* src_dir = nullptr;
    dest_dir_t* dst_dir = nullptr;
    std::string src_path;
    std::string dst_path;
    held_output_t output;           // its lines, failures and log records
    // Set on its thread, read by the walk once it sees `done`.
    int status = 0;
    copy_outcome_t made;
    std::exception_ptr failure;     // what ended it on its thread
    std::atomic<bool> done{false};
    bool retry = false;             // to be made again on the walk's thread

    turn_t take() override { return copier->take_turn(*this); }
    bool again() override { return copier->give_up(seq); }
};

// One place in the walk's order: a copy, an action, or the output of the
// walk that came after the slot before it.
struct copier_t::slot_t {
    std::unique_ptr<job_t> job;
    std::function<void()> action;
    held_output_t output;
};

copier_t::copier_t(run_t& run, dest_changes_t& changes, unsigned threads)
    : run_(run), changes_(changes), wanted_(threads), engaged_(run.settings.workers_asked)
{
}

copier_t::~copier_t()
{
    stop_threads();
    hold_output(nullptr);
    for (const std::unique_ptr<slot_t>& slot : slots_) {
        if (slot->job != nullptr && slot->job->made.committed != nullptr)
            fs_close_out(slot->job->made.committed);
    }
}

bool copier_t::start_threads()
{
    if (started_)
        return !threads_.empty();
    started_ = true;
    // A thread that cannot be had is done without, down to none.
    for (unsigned at = 0; at < wanted_; ++at) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
    return !threads_.empty();
}

void copier_t::stop_threads()
{
    {
        const std::lock_guard<std::mutex> lock(guard_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
    // The copies written and waiting for their turn are dropped, to be made
    // again on the walk's thread.
    for (std::deque<job_t*>* waiting : {&parked_, &ready_}) {
        for (job_t* job : *waiting) {
            fs_discard(std::exchange(job->made.waiting, nullptr));
            job->status = 3;
            job->retry = true;
            job->done.store(true, std::memory_order_release);
        }
        waiting->clear();
    }
}

// Called with guard_ held: the copy `seq` has written its data (or ended
// without meeting a full disk). The copies waiting for their turn that now
// have it are handed to the threads to take their names.
void copier_t::pass(std::uint64_t seq)
{
    if (seq != passed_) {
        passed_ahead_.insert(seq);
        return;
    }
    ++passed_;
    while (!passed_ahead_.empty() && *passed_ahead_.begin() == passed_) {
        passed_ahead_.erase(passed_ahead_.begin());
        ++passed_;
    }
    bool handed = false;
    while (!parked_.empty() && parked_.front()->seq < passed_) {
        ready_.push_back(parked_.front());
        parked_.pop_front();
        handed = true;
    }
    if (handed && idle_ > 0)
        work_.notify_all();
}

copy_turn_t::turn_t copier_t::take_turn(job_t& job)
{
    const std::lock_guard<std::mutex> lock(guard_);
    if (retry_from_ < job.seq || stopping_)
        return copy_turn_t::DROP;
    pass(job.seq);
    return passed_ > job.seq ? copy_turn_t::NOW : copy_turn_t::LATER;
}

// A copy whose turn has not come yet waits among the parked ones, in the
// walk's order, unless its turn came meanwhile.
void copier_t::park(job_t& job)
{
    const std::lock_guard<std::mutex> lock(guard_);
    if (passed_ > job.seq) {
        ready_.push_back(&job);
        return;
    }
    const auto at = std::find_if(parked_.begin(), parked_.end(), [&](const job_t* other) { return other->seq > job.seq; });
    parked_.insert(at, &job);
}

bool copier_t::give_up(std::uint64_t seq)
{
    const std::lock_guard<std::mutex> lock(guard_);
    if (passed_ > seq || passed_ahead_.contains(seq))
        return false;
    retry_from_ = std::min(retry_from_, seq);
    // The copies after it that wait for their turn will never have it:
    // the threads drop them.
    while (!parked_.empty() && parked_.back()->seq > retry_from_) {
        ready_.push_back(parked_.back());
        parked_.pop_back();
    }
    if (idle_ > 0)
        work_.notify_all();
    return true;
}

// After a copy on a thread: a copy that met a full disk is made again on the
// walk's thread, and so is every copy after it, whose data the disk had to
// hold meanwhile; the walk makes them one after the other, as if no copy
// had been made apart.
void copier_t::end_turn(job_t& job)
{
    const std::lock_guard<std::mutex> lock(guard_);
    const bool passed = passed_ > job.seq || passed_ahead_.contains(job.seq);
    if (job.failure && !passed)
        retry_from_ = std::min(retry_from_, job.seq);
    if (job.status == 3 || job.failure) {
        job.retry = true;
    } else if (!passed) {
        if (job.made.error.is(ERR_NO_SPACE))
            retry_from_ = std::min(retry_from_, job.seq);
        if (retry_from_ <= job.seq || stopping_)
            job.retry = true;
        else
            pass(job.seq);
    }
    // Once done, the walk may show and free the copy at any moment: it is
    // not touched again.
    const std::uint64_t seq = job.seq;
    job.done.store(true, std::memory_order_release);
    // The walk waits for one copy at a time.
    if (seq == head_seq_)
        done_.notify_one();
}

// The next thing for a thread to do, with guard_ held. A directory takes
// names one at a time (on a file server each hidden file and each rename
// holds it for round trips), so a thread goes where no other thread
// copies: a copy whose turn has come takes its name there first, then a
// new copy; only when every directory waiting is busy does it queue behind
// another thread, again names first.
copier_t::job_t* copier_t::next_job(bool* naming)
{
    const auto free = [this](const job_t* job) {
        return std::find(busy_.begin(), busy_.end(), job->dst_dir) == busy_.end();
    };
    const auto take = [](std::deque<job_t*>& queue, std::deque<job_t*>::iterator at) {
        job_t* job = *at;
        queue.erase(at);
        return job;
    };
    if (const auto ready = std::find_if(ready_.begin(), ready_.end(), free); ready != ready_.end()) {
        *naming = true;
        return take(ready_, ready);
    }
    if (const auto fresh = std::find_if(todo_.begin(), todo_.end(), free); fresh != todo_.end()) {
        *naming = false;
        return take(todo_, fresh);
    }
    *naming = !ready_.empty();
    return *naming ? take(ready_, ready_.begin()) : take(todo_, todo_.begin());
}

void copier_t::work()
{
    copy_buffer_t buffer{nullptr, run_.buffer.size};
    for (;;) {
        job_t* job = nullptr;
        bool naming = false;
        bool skip = false;
        {
            std::unique_lock<std::mutex> lock(guard_);
            ++idle_;
            work_.wait(lock, [this] { return stopping_ || !todo_.empty() || !ready_.empty(); });
            --idle_;
            if (stopping_)
                break;
            job = next_job(&naming);
            skip = retry_from_ < job->seq;
            busy_.push_back(job->dst_dir);
        }
        held_output_t* const before = hold_output(&job->output);
        try {
            if (naming && skip) {
                fs_discard(std::exchange(job->made.waiting, nullptr));
                job->status = 3;
            } else if (naming) {
                job->made = take_name(job->made);
                job->status = end_copy(run_, job->made, job->src_path.c_str(), job->dst_path.c_str());
            } else if (skip) {
                job->status = 3;
            } else {
                job->status = make_copy(run_, changes_, buffer, job, job->entry.get(), job->src_dir,
                                        job->src_path.c_str(), job->dst_dir, job->dst_path.c_str(), &job->made);
            }
        } catch (...) {
            // Never the end of the process from here: the copy is made
            // again on the walk's thread, which meets what ended it.
            job->failure = std::current_exception();
        }
        hold_output(before);
        {
            const std::lock_guard<std::mutex> lock(guard_);
            busy_.erase(std::find(busy_.begin(), busy_.end(), job->dst_dir));
        }
        if (job->status == 4 && !job->failure) {
            park(*job);
            continue;
        }
        if (job->made.waiting != nullptr)
            fs_discard(std::exchange(job->made.waiting, nullptr));
        end_turn(*job);
    }
    mem_free(buffer.data);
}

held_output_t& copier_t::hold_after()
{
    slots_.push_back(std::make_unique<slot_t>());
    held_output_t& output = slots_.back()->output;
    hold_output(&output);
    return output;
}

void copier_t::copy(const filelist_t* entry, fs_dir_t* src_dir, const char* src_path, dest_dir_t* dst_dir,
                    const char* dst_path)
{
    const bool apart = wanted_ > 0 && !serial_ && changes_.apart() && dst_dir->dir;
    if (!apart || !engaged_ || !start_threads()) {
        finish();
        const auto began = std::chrono::steady_clock::now();
        if (copy_file(run_, changes_, entry, src_dir, src_path, dst_dir, dst_path) != 0)
            ++run_.stats.files_not_copied;
        if (apart && !engaged_ && entry->size <= SMALL_COPY) {
            const auto took = std::chrono::steady_clock::now() - began;
            recent_[timed_++ % std::size(recent_)] =
                std::chrono::duration_cast<std::chrono::microseconds>(took).count();
            engaged_ = timed_ >= std::size(recent_) &&
                       *std::min_element(std::begin(recent_), std::end(recent_)) >= WAITING_COPY_US;
        }
        return;
    }
    // A full window is let half empty before the walk goes on: one wait
    // for many copies, not a hand-over for each.
    const std::size_t window = threads_.size() * COPIES_PER_THREAD;
    while (waiting_copies_ >= window)
        wait_for_head(window / 2);

    auto job = std::make_unique<job_t>();
    job->copier = this;
    job->seq = next_seq_++;
    job->entry = copy_record(entry);
    job->src_dir = src_dir;
    job->dst_dir = dst_dir;
    job->src_path = src_path;
    job->dst_path = dst_path;
    job->output.track = true;
    job_t* asked = job.get();
    slots_.push_back(std::make_unique<slot_t>());
    slots_.back()->job = std::move(job);
    ++waiting_copies_;
    bool idle;
    {
        const std::lock_guard<std::mutex> lock(guard_);
        todo_.push_back(asked);
        idle = idle_ > 0;
    }
    if (idle)
        work_.notify_one();
    // What the walk shows from now on comes after this copy.
    hold_after();
    pump();
}

void copier_t::then(std::function<void()> action)
{
    if (slots_.empty()) {
        action();
        return;
    }
    while (waiting_actions_ >= WAITING_ACTIONS)
        wait_for_head();
    if (slots_.empty()) {
        action();
        return;
    }
    slots_.push_back(std::make_unique<slot_t>());
    slots_.back()->action = std::move(action);
    ++waiting_actions_;
    hold_after();
    pump();
}

void copier_t::finish()
{
    while (!slots_.empty())
        wait_for_head();
}

void copier_t::show_job(job_t& job)
{
    if (job.retry) {
        // Made again here, after the copies before it and before those
        // after it, none of which stays made apart: what it showed is
        // dropped, and the copies go on one after the other.
        if (!serial_) {
            serial_ = true;
            stop_threads();
        }
        held_output_t again;
        held_output_t* const before = hold_output(&again);
        const int status = copy_file(run_, changes_, job.entry.get(), job.src_dir, job.src_path.c_str(), job.dst_dir,
                                     job.dst_path.c_str());
        hold_output(before);
        // The lines of the first try that were shown while it was the
        // copy at the head begin the second try's too, which shows only
        // the rest: a full disk gives way to the same chunks and more.
        const std::string& shown = job.output.shown;
        if (!shown.empty() && !again.pieces.empty() && again.pieces.front().stream == CON_OUT &&
            again.pieces.front().text.starts_with(shown))
            again.pieces.front().text.erase(0, shown.size());
        release_output(run_, again);
        if (status != 0)
            ++run_.stats.files_not_copied;
        return;
    }
    release_output(run_, job.output);
    if (job.status == 0) {
        count_copy(run_, changes_, job.entry.get(), job.dst_path, job.made);
        job.made.committed = nullptr;
    } else {
        ++run_.stats.files_not_copied;
    }
}

// Shows, counts and runs what is complete at the head of the walk's order,
// and what the copy at the head has shown so far, so that the figures of a
// long copy move while it is made.
void copier_t::pump()
{
    while (!slots_.empty()) {
        slot_t& head = *slots_.front();
        if (head.job != nullptr) {
            if (!head.job->done.load(std::memory_order_acquire)) {
                release_output(run_, head.job->output);
                return;
            }
            --waiting_copies_;
            show_job(*head.job);
        } else if (head.action) {
            --waiting_actions_;
            held_output_t* const before = hold_output(nullptr);
            head.action();
            hold_output(before);
        } else {
            release_output(run_, head.output);
        }
        slots_.pop_front();
        if (slots_.empty())
            hold_output(nullptr);
    }
}

void copier_t::wait_for_head(std::size_t ahead)
{
    pump();
    if (slots_.empty())
        return;
    job_t* head = slots_.front()->job.get();
    if (head == nullptr)
        return;
    // The copy waited for: `ahead` copies after the head (or the last one),
    // unless that one is done already, when only the head holds the walk.
    job_t* awaited = head;
    if (ahead > 0) {
        for (const std::unique_ptr<slot_t>& slot : slots_) {
            if (slot->job != nullptr && slot->job->seq <= head->seq + ahead)
                awaited = slot->job.get();
        }
        if (awaited->done.load(std::memory_order_acquire))
            awaited = head;
    }
    {
        std::unique_lock<std::mutex> lock(guard_);
        head_seq_ = awaited->seq;
        // The figures of a long copy at the head are shown as they come.
        // Once the threads are stopped, a copy none of them took is made
        // here.
        while (!awaited->done.load(std::memory_order_acquire)) {
            if (threads_.empty()) {
                awaited->retry = true;
                awaited->done.store(true, std::memory_order_release);
                break;
            }
            done_.wait_for(lock, std::chrono::milliseconds(200));
            // A long copy (a large file) holding the one awaited: what is
            // done before it is shown, and the walk decides more meanwhile.
            if (head->done.load(std::memory_order_acquire))
                break;
            lock.unlock();
            release_output(run_, head->output);
            lock.lock();
        }
    }
    pump();
}
