#include "ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

extern char** environ;

namespace tarvik::test {

using Clock = std::chrono::steady_clock;

std::string ToolPath(const std::string& name) {
#ifdef TARVIK_MODEMSIM_PATH
    if (name == "tarvik-modemsim")
        return TARVIK_MODEMSIM_PATH;
#endif
    return name == "tarvik" ? TARVIK_CLI_PATH : "";
}

ToolProcess::ToolProcess(std::vector<std::string> argv, const std::string& input, Input mode,
                         bool keepInputOpen, const std::vector<std::string>& environment) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) != 0)
        return;
    if (mode == Input::Pipe && (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0))
        return;
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    // Built before the fork: the child of a threaded process may only exec.
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const auto named = [&](const std::string& given) {
            return given.compare(0, given.find('=') + 1, entry.substr(0, entry.find('=') + 1)) == 0;
        };
        if (std::none_of(environment.begin(), environment.end(), named))
            env.push_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    // In a terminal: the kernel's default settings, as a person's shell gives.
    int master = -1;
    pid_ = mode == Input::Terminal ? forkpty(&master, nullptr, nullptr, nullptr) : fork();
    if (pid_ == 0) {
        if (mode == Input::Pipe) {
            dup2(in[0], 0);
            dup2(out[1], 1);
        }
        dup2(err[1], 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (mode == Input::Terminal) {
        in_ = out_fd_ = master;
    } else {
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_fd_ = out[0];
    }
    close(err[1]);
    err_fd_ = err[0];
    Send(input);
    if (mode == Input::Pipe && !keepInputOpen)
        CloseInput();
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0)
        close(in_);
    if (out_fd_ >= 0 && out_fd_ != in_)
        close(out_fd_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

void ToolProcess::Send(const std::string& bytes) {
    if (in_ >= 0 && !bytes.empty())
        (void)!write(in_, bytes.data(), bytes.size());
}

void ToolProcess::CloseInput() {
    // A terminal's master is also the output side: it stays.
    if (in_ >= 0 && in_ != out_fd_) {
        close(in_);
        in_ = -1;
    }
}

void ToolProcess::Signal(int signal) {
    if (pid_ > 0 && !exited_)
        kill(pid_, signal);
}

bool ToolProcess::Pump(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0)
        return false;
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buffer[4096];
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
        } else {
            // A pty master reads EIO once the tool is gone: the end, as for a pipe.
            int& fd = i == 0 ? out_fd_ : err_fd_;
            if (fd != in_)
                close(fd);
            fd = -1;
        }
    }
    return true;
}

bool ToolProcess::WaitFor(const std::string& stream, const std::string& text,
                          std::chrono::milliseconds timeout, size_t from) {
    const auto until = Clock::now() + timeout;
    while (stream.find(text, from) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 || !Pump(left))
            return stream.find(text, from) != std::string::npos;
    }
    return true;
}

int ToolProcess::Finish(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    // Both streams end when the tool (and anything it started) has gone.
    while (Clock::now() < until && Pump(std::chrono::milliseconds(200))) {
    }
    while (!exited_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (Clock::now() >= until || r < 0) {
            return -1;
        } else if (!Pump(std::chrono::milliseconds(100))) {
            // Streams closed, exit not yet reaped: no descriptor tells of it.
            poll(nullptr, 0, 10);
        }
    }
    return status_;
}

}  // namespace tarvik::test
