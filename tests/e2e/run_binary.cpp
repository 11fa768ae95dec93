#include "e2e/run_binary.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

bool spawn(const std::vector<std::string>& prefix, const std::vector<std::string>& args, const std::string& cwd,
           calvento_process_t* process)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0)
        return false;
    if (pipe(err_pipe) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

    std::vector<std::string> copies = prefix;
    copies.push_back(CALVENTO_BINARY);
    // CALVENTO_E2E_OPTIONS puts options before every run's own, so that the
    // whole suite can run again with, say, -j1 and must see the same.
    if (const char* extra = std::getenv("CALVENTO_E2E_OPTIONS"); extra != nullptr && *extra != '\0') {
        std::istringstream words(extra);
        for (std::string word; words >> word;)
            copies.push_back(word);
    }
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return false;
    }
    process->pid = pid;
    process->out_fd = out_pipe[0];
    process->err_fd = err_pipe[0];
    return true;
}

// Reads whatever is ready within `wait_ms`; false when both streams ended.
bool read_some(calvento_process_t* process, int wait_ms)
{
    int* fds_of[2] = {&process->out_fd, &process->err_fd};
    std::string* sinks[2] = {&process->seen.out, &process->seen.err};
    pollfd fds[2] = {{process->out_fd, POLLIN, 0}, {process->err_fd, POLLIN, 0}};
    if (fds[0].fd < 0 && fds[1].fd < 0)
        return false;
    if (poll(fds, 2, wait_ms) < 0 && errno != EINTR)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0)
            continue;
        char chunk[65536];
        const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
            sinks[i]->append(chunk, static_cast<std::size_t>(n));
        } else {
            close(fds[i].fd);
            *fds_of[i] = -1;
        }
    }
    return process->out_fd >= 0 || process->err_fd >= 0;
}

int left_ms(clock_type::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return static_cast<int>(left.count());
}

}  // namespace

testing::AssertionResult ran_cleanly(const run_result_t& run)
{
    if (run.code == 0 && run.err.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "exit code " << run.code << ", standard error '" << run.err << "'";
}

bool start_calvento(const std::vector<std::string>& args, const std::string& cwd, calvento_process_t* process,
                    const std::vector<std::string>& prefix)
{
    return spawn(prefix, args, cwd, process);
}

bool wait_for_output(calvento_process_t* process, const std::string& text, int timeout_seconds)
{
    const auto deadline = clock_type::now() + std::chrono::seconds(timeout_seconds);
    while (process->seen.out.find(text) == std::string::npos) {
        const int left = left_ms(deadline);
        if (left <= 0 || !read_some(process, left))
            return process->seen.out.find(text) != std::string::npos;
    }
    return true;
}

void pass_time(calvento_process_t* process, std::chrono::microseconds delay)
{
    const auto deadline = clock_type::now() + delay;
    for (int left = left_ms(deadline); left > 0 && read_some(process, left); left = left_ms(deadline)) {
    }
}

run_result_t finish_calvento(calvento_process_t* process, int timeout_seconds)
{
    const auto deadline = clock_type::now() + std::chrono::seconds(timeout_seconds);
    bool killed = false;
    for (;;) {
        const int left = left_ms(deadline);
        if (left <= 0) {
            kill(process->pid, SIGKILL);
            killed = true;
            break;
        }
        if (!read_some(process, left))
            break;
    }
    for (int* fd : {&process->out_fd, &process->err_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    int status = 0;
    waitpid(process->pid, &status, 0);
    run_result_t result = process->seen;
    if (killed)
        result.code = -1;
    else if (WIFEXITED(status))
        result.code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.code = 128 + WTERMSIG(status);
    return result;
}

run_result_t run_calvento_via(const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                              const std::string& cwd, int timeout_seconds)
{
    calvento_process_t process;
    if (!spawn(prefix, args, cwd, &process))
        return run_result_t{};
    return finish_calvento(&process, timeout_seconds);
}

run_result_t run_calvento(const std::vector<std::string>& args, const std::string& cwd, int timeout_seconds)
{
    return run_calvento_via({}, args, cwd, timeout_seconds);
}
