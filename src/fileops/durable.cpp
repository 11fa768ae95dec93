#include "fileops/durable.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/output.h"
#include "platform/side_by_side.h"

bool unfinished_copy_time(std::int64_t sec)
{
    // A file system that keeps local times (FAT) gives the moment back
    // shifted by the zone it converts with, which may change between runs.
    constexpr std::int64_t ZONES = 14 * 3600;
    return sec >= UNFINISHED_COPY_TIME.sec - ZONES && sec <= UNFINISHED_COPY_TIME.sec + ZONES;
}

namespace {

// A batch holds at most this many copies, or about this many bytes. One
// flush serves a whole batch, where a flush per file would cost a commit of
// the file system's journal each; a run cut short copies at most the
// batches under way again. Three batches may be open at once: one filling,
// one whose data is being flushed, one whose times are.
constexpr std::size_t BATCH_FILES = 4096;
constexpr std::uint64_t BATCH_BYTES = std::uint64_t{256} << 20;
constexpr std::size_t OPEN_BATCHES = 3;

// A copy in place under its name and still open.
struct held_copy_t {
    fs_out_t* out;
    std::string dst_path;      // for the report
    fs_time_t mtime;           // its source's time, given once its data is durable
    std::uint64_t bytes;       // counted as copied
    int error = 0;             // what kept it from being made durable
    bool closed = false;
};
using batch_t = std::vector<held_copy_t>;

// One flush: the data of a batch, and the times of the batch before it.
struct flush_t {
    batch_t data;
    batch_t times;
    std::vector<fs_out_t*> outs;
    std::vector<int> errors;
    std::thread thread;
    std::exception_ptr failure;   // what ended the flush on its own thread
    unsigned threads;             // how many may work on its files at once

    flush_t(batch_t data_batch, batch_t times_batch, unsigned flush_threads)
        : data(std::move(data_batch)), times(std::move(times_batch)), threads(std::max(flush_threads, 1u))
    {
        for (const batch_t* batch : {&data, &times}) {
            for (const held_copy_t& copy : *batch)
                outs.push_back(copy.out);
        }
        errors.resize(outs.size());
    }

    // The only part that may run on a thread of its own: it touches nothing
    // but the files of this flush. After the flush, the copies whose times
    // it made durable are closed (one whose time could not be gets the
    // placeholder back: the next run copies it again); those whose data it
    // could not are closed too, and keep the placeholder; the others get
    // their source's time, which the next flush makes durable. On a file
    // server each of these waits a round trip: they are made side by side.
    // On a local disk they wait for nothing, and threads would only take
    // the processors from the walk: the flush's own thread makes them.
    void run()
    {
        bool one_by_one = false;
        fs_flush_outs(outs.data(), outs.size(), errors.data(), threads, &one_by_one);
        const unsigned apart = one_by_one ? threads : 1;
        std::size_t at = 0;
        for (held_copy_t& copy : data)
            copy.error = errors[at++];
        for (held_copy_t& copy : times)
            copy.error = errors[at++];
        side_by_side(times.size(), apart, [this](std::size_t i) {
            held_copy_t& copy = times[i];
            if (copy.error != 0)
                fs_set_times(copy.out, UNFINISHED_COPY_TIME);
            close(copy);
        });
        side_by_side(data.size(), apart, [this](std::size_t i) {
            held_copy_t& copy = data[i];
            if (copy.error != 0)
                close(copy);
            else
                fs_set_times(copy.out, copy.mtime);
        });
    }

    static void close(held_copy_t& copy)
    {
        const fs_error_t closing = fs_close_out(copy.out);
        copy.closed = true;
        if (closing && copy.error == 0)
            copy.error = closing.code;
    }
};

}  // namespace

// The batches of a run. On the heap, as the flush under way: an exit during
// a flush (an interrupt, a fatal error) neither waits for it nor destroys a
// thread still running.
struct copy_batches_t {
    unsigned threads = 1;           // how many may flush at once
    batch_t filling;
    std::uint64_t filling_bytes = 0;
    std::size_t limit = 1;          // copies in a batch
    flush_t* flight = nullptr;      // the flush under way
    std::uint64_t failed = 0;       // copies reported since settle_copies last returned
};

namespace {

// A copy that could not be made durable after all: reported like a failed
// transfer, and counted as not copied instead of copied.
void fail(run_t& run, copy_batches_t& batches, const held_copy_t& copy)
{
    report_failure(run, copy.dst_path.c_str(), fs_error(copy.error));
    --run.stats.files_copied;
    run.stats.bytes_copied -= copy.bytes;
    ++run.stats.files_not_copied;
    ++batches.failed;
}

// What follows a flush, on the walk's thread: the copies that could not be
// made durable are reported, in the walk's order; those that got their
// source's time are given back for the next flush to make that time
// durable.
batch_t after_flush(run_t& run, copy_batches_t& batches, flush_t& flush)
{
    for (const held_copy_t& copy : flush.times) {
        if (copy.error != 0)
            fail(run, batches, copy);
    }
    batch_t timed;
    for (held_copy_t& copy : flush.data) {
        if (copy.error != 0)
            fail(run, batches, copy);
        else
            timed.push_back(std::move(copy));
    }
    return timed;
}

// Waits for the flush under way, if any, and closes its copies as they are
// without a word: those whose data may not be durable carry the
// placeholder time.
void drop_flight(copy_batches_t& state)
{
    if (state.flight->thread.joinable())
        state.flight->thread.join();
    for (const batch_t* batch : {&state.flight->data, &state.flight->times}) {
        for (const held_copy_t& copy : *batch) {
            if (!copy.closed)
                fs_close_out(copy.out);
        }
    }
    delete state.flight;
    state.flight = nullptr;
}

// Waits for the flush under way, if any, and deals with its outcome; gives
// the copies that got their times. What ended the flush on its thread (no
// memory) goes on here, as if the flush had run on the walk's thread.
batch_t land(run_t& run, copy_batches_t& state)
{
    if (state.flight == nullptr)
        return {};
    if (state.flight->thread.joinable())
        state.flight->thread.join();
    if (state.flight->failure) {
        const std::exception_ptr failure = state.flight->failure;
        drop_flight(state);
        std::rethrow_exception(failure);
    }
    batch_t timed = after_flush(run, state, *state.flight);
    delete state.flight;
    state.flight = nullptr;
    return timed;
}

// Starts a flush on a thread of its own, so that the walk goes on copying
// while the disk writes; on the walk's thread where no thread can be had.
void launch(copy_batches_t& batches, batch_t data, batch_t times)
{
    flush_t* flush = new flush_t(std::move(data), std::move(times), batches.threads);
    try {
        // An exception must not end the process from this thread: the walk
        // meets it when it takes the outcome.
        flush->thread = std::thread([flush] {
            try {
                flush->run();
            } catch (...) {
                flush->failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        flush->run();
    }
    batches.flight = flush;
}

}  // namespace

copy_batches_t* new_copy_batches()
{
    return new copy_batches_t;
}

void delete_copy_batches(copy_batches_t* batches)
{
    if (batches->flight != nullptr)
        drop_flight(*batches);
    for (const held_copy_t& copy : batches->filling)
        fs_close_out(copy.out);
    delete batches;
}

void hold_copy(run_t& run, copy_batches_t& state, fs_out_t* out, const std::string& dst_path, fs_time_t mtime,
               std::uint64_t bytes)
{
    if (state.filling.empty()) {
        state.limit = std::max<std::size_t>(1, std::min(BATCH_FILES, fs_open_outs_limit() / OPEN_BATCHES));
        state.threads = std::max(run.settings.workers, 1u);
    }
    state.filling.push_back({out, dst_path, mtime, bytes});
    state.filling_bytes += bytes;
    if (state.filling.size() < state.limit && state.filling_bytes < BATCH_BYTES)
        return;
    batch_t timed = land(run, state);
    launch(state, std::exchange(state.filling, {}), std::move(timed));
    state.filling_bytes = 0;
}

std::uint64_t settle_copies(run_t& run, copy_batches_t& state)
{
    // The last batch's data with the times of the one before, then the last
    // batch's own times, on this thread: the run ends only once they are
    // durable.
    flush_t last(std::exchange(state.filling, {}), land(run, state), state.threads);
    state.filling_bytes = 0;
    last.run();
    flush_t times({}, after_flush(run, state, last), state.threads);
    times.run();
    after_flush(run, state, times);
    return std::exchange(state.failed, 0);
}
