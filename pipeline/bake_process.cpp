#include "pipeline/bake_process.h"

#include "bake/helper_protocol.h"
#include "base/file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tg {

namespace {

namespace protocol = bakeprotocol;

constexpr int POLL_MILLISECONDS = 100;
// Where the child finds the source, which it opens as /dev/fd/3, and the mark of its output.
constexpr int SOURCE_FD = 3;
constexpr int MARK_FD = 4;

Status failure(std::string message, std::string cause = {}) {
    return Failure{std::move(message), std::move(cause)};
}

// Reads the child's lines until it closes its end; the last "ok" or "failed" line wins.
class HelperOutput {
public:
    HelperOutput(const std::function<void(double)>& onProgress) : onProgress_(onProgress) {}

    void feed(const char* data, std::size_t size) {
        pending_.append(data, size);
        for (std::size_t newline; (newline = pending_.find('\n')) != std::string::npos;) {
            handle(pending_.substr(0, newline));
            pending_.erase(0, newline + 1);
        }
    }

    bool finished() const { return finished_; }
    const std::optional<std::string>& failedWith() const { return failedWith_; }

private:
    void handle(const std::string& line) {
        if (line.starts_with(protocol::PROGRESS)) {
            char* end = nullptr;
            const double fraction = std::strtod(line.c_str() + protocol::PROGRESS.size(), &end);
            if (end != line.c_str() + protocol::PROGRESS.size() && onProgress_)
                onProgress_(fraction);
        } else if (line == protocol::OK) {
            finished_ = true;
        } else if (line.starts_with(protocol::FAILED)) {
            failedWith_ = line.substr(protocol::FAILED.size());
        }
    }

    const std::function<void(double)>& onProgress_;
    std::string pending_;
    bool finished_ = false;
    std::optional<std::string> failedWith_;
};

std::string signalText(int signal) {
    const char* name = ::strsignal(signal);
    return name ? name : "signal " + std::to_string(signal);
}

} // namespace

std::filesystem::path bakeHelperPath() {
    if (const char* named = std::getenv(protocol::HELPER_ENV); named && *named) return named;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::filesystem::path(protocol::HELPER_NAME);
    return (self.parent_path() / protocol::HELPER_DIR_FROM_BIN / protocol::HELPER_NAME)
        .lexically_normal();
}

Status runBakeHelper(int source, const std::filesystem::path& destination, int destinationMark,
                     const std::function<void(double)>& onProgress,
                     const std::atomic<bool>* cancel) {
    const auto helper = bakeHelperPath();
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return errnoFailure(errno, "writer init");
    FileHandle readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
    // Above the descriptors the child's file actions write to, so none of them lands on it.
    FileHandle sourceCopy(::fcntl(source, F_DUPFD_CLOEXEC, MARK_FD + 1));
    if (!sourceCopy.isOpen()) return errnoFailure(errno, "reader init");
    FileHandle markCopy(::fcntl(destinationMark, F_DUPFD_CLOEXEC, MARK_FD + 1));
    if (!markCopy.isOpen()) return errnoFailure(errno, "writer init");

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, sourceCopy.fd(), SOURCE_FD);
    posix_spawn_file_actions_adddup2(&actions, markCopy.fd(), MARK_FD);
    // Its own process group, and default signal handling whatever ours is.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, s);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETSIGMASK);

    std::string sourceArg = "/dev/fd/" + std::to_string(SOURCE_FD);
    std::string destinationArg = destination.string();
    std::string helperArg = helper.string();
    char* argv[] = {helperArg.data(), sourceArg.data(), destinationArg.data(), nullptr};
    const std::string parentPrefix = std::string(protocol::PARENT_ENV) + "=";
    std::string parentVar = parentPrefix + std::to_string(::getpid());
    std::vector<char*> env{parentVar.data()};
    for (char** e = environ; *e; ++e)
        if (!std::string_view(*e).starts_with(parentPrefix)) env.push_back(*e);
    env.push_back(nullptr);
    pid_t child = -1;
    const int spawnError =
        ::posix_spawn(&child, helper.c_str(), &actions, &attributes, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    writeEnd.reset();
    sourceCopy.reset();
    markCopy.reset();
    if (spawnError != 0) return errnoFailure(spawnError, "bake helper missing");

    HelperOutput output(onProgress);
    bool cancelled = false;
    char buffer[4096];
    for (;;) {
        if (cancel && cancel->load() && !cancelled) {
            ::kill(-child, SIGKILL);
            cancelled = true;
        }
        pollfd ready{readEnd.fd(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, POLL_MILLISECONDS);
        if (polled < 0 && errno != EINTR) break;
        if (polled <= 0) continue;
        const ssize_t n = ::read(readEnd.fd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.feed(buffer, std::size_t(n));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (cancelled) return failure("cancelled");
    if (WIFSIGNALED(status))
        return failure("bake helper stopped (" + signalText(WTERMSIG(status)) + ")");
    if (output.finished() && WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    if (output.failedWith()) return failure(*output.failedWith());
    return failure("bake helper stopped (exit status " +
                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
}

} // namespace tg
