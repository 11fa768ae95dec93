#include "run/driver.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/output.h"
#include "core/run.h"
#include "fileops/dest_changes.h"
#include "fileops/keep_changes.h"
#include "fileops/make_dir.h"
#include "platform/dos_time.h"
#include "platform/platform.h"
#include "run/options.h"
#include "run/overlap.h"
#include "sync/sync_dir.h"

namespace {

void set_today(run_t& run, std::time_t now)
{
    local_time_t local{};
    local_time(now, &local);
    run.today_date = dos_from_local(local).date;
    char name[32];
    std::snprintf(name, sizeof name, "%04d%02d%02d", local.year, local.month, local.day);
    std::memcpy(run.today_name, name, sizeof run.today_name - 1);
    run.today_name[sizeof run.today_name - 1] = '\0';
}

std::string ctime_of(std::time_t when)
{
    char text[32];
    ctime_text(when, text);
    return text;
}

void write_log_header(run_t& run, const char* src, const char* dst)
{
    const std::string from = shown(src);
    const std::string to = shown(dst);
    log_block(run, std::string(banner_text()) + format_text("Da\t\t\t: %s [%s]\n", from.c_str(), from.c_str()) +
                       format_text("A\t\t\t: %s [%s]\n", to.c_str(), to.c_str()) + "Inizio\t\t\t: " +
                       ctime_of(run.stats.start_time));
}

void write_log_footer(run_t& run, double elapsed, double rate)
{
    const run_statistics_t& s = run.stats;
    log_block(run, "Fine\t\t\t: " + ctime_of(s.end_time) +
                       format_text("Tempo\t\t\t: %10.2f secondo(i)\n", elapsed) +
                       format_text("Directory analizzate \t: %10llu\n", static_cast<unsigned long long>(s.dirs_scanned)) +
                       format_text("Directory cancellate \t: %10llu\n", static_cast<unsigned long long>(s.dirs_deleted)) +
                       format_text("Directory create \t: %10llu\n", static_cast<unsigned long long>(s.dirs_created)) +
                       format_text("File analizzati \t: %10llu\n", static_cast<unsigned long long>(s.files_scanned)) +
                       format_text("File cancellati \t: %10llu\n", static_cast<unsigned long long>(s.files_deleted)) +
                       format_text("File non copiati\t: %10llu\n", static_cast<unsigned long long>(s.files_not_copied)) +
                       format_text("File copiati\t\t: %10llu\n", static_cast<unsigned long long>(s.files_copied)) +
                       format_text("Byte copiati\t\t: %10llu\n", static_cast<unsigned long long>(s.bytes_copied)) +
                       format_text("Byte al secondo\t\t: %10.0f\n\n", rate));
}

// The run after its command line was read, making its changes to the
// destination through `changes`.
int run_walk(run_t& run, dest_changes_t& changes, const char* src, const char* dst)
{
    const run_settings_t& settings = run.settings;
    changes.begin(run);

    copy_buffer_obtain(run, settings.buffer_size);
    show(run, SHOW_SCANS, "Buffer size %u bytes\n", run.buffer.size);
    show(run, SHOW_COMMAND, "calvento %s %s\n", shown(src).c_str(), shown(dst).c_str());

    if (!settings.ignore_circular && operands_overlap(src, dst)) {
        show_error(run, "Calvento: %s e %s\nSono sullo stesso volume\n\a", shown(src).c_str(), shown(dst).c_str());
        return 1;
    }
    // Versions kept in the source would change it, and a versions
    // directory that holds the source or the destination would have the
    // walk mirror into its history: refused whatever -i says. In the dated
    // mode the dated directory is a destination too.
    const std::string versions = settings.versions ? versions_path(settings, dst) : std::string();
    if (settings.versions) {
        std::string dated;
        if (settings.copy_mode == 3) {
            set_today(run, clock_now());
            dated = format_text("%s%c%s", dst, path_separator(), run.today_name);
        }
        if (versions_overlap(src, dst, versions.c_str()) ||
            (!dated.empty() && versions_overlap(src, dated.c_str(), versions.c_str()))) {
            show_error(run, "Calvento: %s e %s\nSono sullo stesso volume\n\a", shown(src).c_str(),
                       shown(versions.c_str()).c_str());
            return 1;
        }
    }

    // One run at a time per destination: another, a nightly job that starts
    // while the last one still runs, would interleave its log block with
    // this one's and race on the tree. It is refused before it writes or
    // makes anything. The lock is the destination operand's, in the dated
    // mode too, and lasts as long as the run; where the file system offers
    // none, the run goes on without it rather than fail every night. A dry
    // run changes nothing and needs none.
    dir_handle_t in_use(fs_dir_open(nullptr, dst, true, nullptr));
    if (in_use) {
        const int locked = changes.lock(in_use.get());
        if (locked == 0) {
            show_error(run, "Calvento: %s e' in uso da un'altra esecuzione\n", shown(dst).c_str());
            return 1;
        }
        if (locked < 0)
            in_use.reset();
    }
    // The versions directory is the run's too, where it is there already:
    // two runs keeping into one at once are one too many.
    dir_handle_t versions_in_use(settings.versions ? fs_dir_open(nullptr, versions.c_str(), true, nullptr) : nullptr);
    if (versions_in_use && changes.lock(versions_in_use.get()) == 0) {
        show_error(run, "Calvento: %s e' in uso da un'altra esecuzione\n", shown(versions.c_str()).c_str());
        return 1;
    }

    run.stats.start_time = clock_now();
    set_today(run, run.stats.start_time);
    write_log_header(run, src, dst);
    // The walk never removes or replaces the file this run is logging to,
    // wherever it lies.
    fs_status_t log_status;
    if (run.log.active && !fs_stat(run.log.name.c_str(), true, &log_status))
        run.log.id = log_status.id;

    // A dated directory that could not be made was reported, and that is
    // the failure: the walk would only fail every copy into it again.
    std::string walk_dst = dst;
    bool walk = true;
    if (settings.copy_mode == 3) {
        walk_dst = format_text("%s%c%s", dst, path_separator(), run.today_name);
        if (!settings.needed_dirs_only)
            walk = make_directory(run, changes, walk_dst.c_str()) >= 0;
    }

    // Old versions go only after a walk that got under way: while the
    // source cannot even be opened, the history is what is left.
    if (walk && sync_dir(run, changes, src, walk_dst.c_str()) == 0)
        changes.finish(run);

    run.stats.end_time = clock_now();
    copy_buffer_release(run);

    double elapsed = static_cast<double>(run.stats.end_time - run.stats.start_time);
    if (elapsed <= 0)
        elapsed = 0.1;  // within one second (or a clock set back during the run)
    const double rate = static_cast<double>(run.stats.bytes_copied) / elapsed;
    platform_finishing();
    show(run, SHOW_PROGRESS, "%lld file copiato(i), %lld byte , %10.0f byte/sec\n",
         static_cast<long long>(run.stats.files_copied), static_cast<long long>(run.stats.bytes_copied), rate);
    write_log_footer(run, elapsed, rate);

    // A walk that reported failures says so last, and in its exit code, so
    // that an unattended run's caller learns of them.
    const std::uint64_t errors = run.stats.errors_reported;
    if (errors != 0)
        show_error(run, "Completato con errori: %llu\n", static_cast<unsigned long long>(errors));
    return errors == 0 ? 0 : 2;
}

}  // namespace

int run_main(int argc, char** argv)
{
    platform_start();
    run_settings_t settings;
    run_t run(settings);
    return run_main(run, settings, argc, argv);
}

int run_main(run_t& run, run_settings_t& settings, int argc, char** argv)
{
    // Memory that runs out where the standard library allocates (a name
    // index, a path, a list of pairs) ends the run as the records that the
    // program allocates itself end it: with its message and exit code 1,
    // never an abort. The listing threads keep their own failures.
    try {
        show(run, SHOW_ALWAYS, "%s", banner_text());
        const int first = parse_options(argc, argv, settings, run);
        if (argc - first < 2)
            show_usage(run);
        // From here on the settings are only read.
        const std::unique_ptr<dest_changes_t> changes = make_dest_changes(settings, argv[first + 1]);
        return run_walk(run, *changes, argv[first], argv[first + 1]);
    } catch (const std::bad_alloc&) {
        alloc_failed();
    }
}
