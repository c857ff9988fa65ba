// A call run in a child process: under a limit of file sizes (a full disk,
// as `ulimit -f` makes one), with an alarm that ends a call that would wait
// for ever, and through the process's exit, where a library that was left
// in a bad state falls over.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "temp_files.h"

namespace vtest {

struct ChildEnd {
    bool exited = false;   // else killed by a signal
    int status = -1;       // the exit status, or the signal
    std::string err;       // what it wrote to standard error
};

// Runs f in a child process and ends it with f's result as its exit status.
// file_size: the most bytes a file may grow to (0: no limit), SIGXFSZ
// ignored as velmora does; seconds: the alarm.
inline ChildEnd in_child(const std::function<int()>& f, rlim_t file_size = 0, unsigned seconds = 60) {
    char err_path[] = "/tmp/velmora-child-err-XXXXXX";
    const int err_fd = ::mkstemp(err_path);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(err_fd, STDERR_FILENO);
        if (std::FILE* null = std::freopen("/dev/null", "w", stdout); !null) std::_Exit(120);
        std::signal(SIGXFSZ, SIG_IGN);
        if (file_size > 0) {
            const rlimit limit{file_size, file_size};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::alarm(seconds);
        const int status = f();
        std::fflush(nullptr);
#if defined(VELMORA_SANITIZED)
        // The leak check at exit would count what the parent's threads, which
        // the child has not, still hold; the release build runs the handlers.
        std::_Exit(status);
#else
        std::exit(status);   // through the exit handlers of the libraries
#endif
    }
    ChildEnd end;
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    end.exited = WIFEXITED(raw);
    end.status = end.exited ? WEXITSTATUS(raw) : WTERMSIG(raw);
    end.err = TempDir::read(err_path);
    ::close(err_fd);
    ::unlink(err_path);
    return end;
}

}  // namespace vtest
