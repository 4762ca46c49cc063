// The tarvik-modemsim program: options, the printed path, the COM link, the
// command channel on stdin and a clean exit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostPort.h"

extern char** environ;

using namespace std::chrono_literals;
using tarvik::test::HostPort;

namespace {

// The program as a child process with pipes on stdin and stdout.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        args.insert(args.begin(), TARVIK_MODEMSIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, TARVIK_MODEMSIM_PATH, &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Program() {
        if (stdin_ >= 0)
            close(stdin_);
        if (stdout_ >= 0)
            close(stdout_);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Started() const { return pid_ > 0; }
    void Send(const std::string& line) { (void)!write(stdin_, line.data(), line.size()); }
    void CloseInput() {
        close(stdin_);
        stdin_ = -1;
    }
    void Signal(int sig) { kill(pid_, sig); }
    // One line of output (without the newline); empty on time-out or end.
    std::string ReadLine(int timeoutMs = 5000) {
        std::string line;
        char c;
        for (;;) {
            pollfd p{stdout_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0 || read(stdout_, &c, 1) != 1)
                return line;
            if (c == '\n')
                return line;
            line += c;
        }
    }
    // The exit status, waiting up to `timeout` for it; -1 if still running.
    int Wait(std::chrono::milliseconds timeout = 5000ms) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            // No descriptor reports a child's exit; a short poll interval it is.
            poll(nullptr, 0, 10);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    bool exited_ = false;
};

TEST(ModemsimProgram, RunsCommandsAndRemovesItsLinkOnQuit) {
    namespace fs = std::filesystem;
    const fs::path link = fs::path(getenv("TARVIK_DOSDEVICES")) / "com11";
    Program prog({"--link", "COM11", "--ring-cadence", "200", "--caller-id", "NMBR=5551212",
                  "--cid-format", "compact", "--outcome", "555-1234=BUSY@100ms"});
    ASSERT_TRUE(prog.Started());
    const std::string path = prog.ReadLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), path);

    HostPort host(link.string());
    ASSERT_TRUE(host.IsOpen());
    EXPECT_TRUE(host.SendUntil("ATE0DT5551234\r", "\r\nBUSY\r\n"));
    host.Take();
    prog.Send("ring 2\n");
    EXPECT_TRUE(host.ReadUntil("\r\nRING\r\n\r\nNMBR=5551212\r\n\r\nRING\r\n"));
    prog.Send("error on\nstate\n");
    EXPECT_EQ(prog.ReadLine(), "ringing");
    EXPECT_TRUE(host.SendUntil("AT\r", "ERROR\r\n"));
    prog.Send("send \\r\\nHELLO\\x21\n");
    EXPECT_TRUE(host.ReadUntil("\r\nHELLO!"));

    prog.Send("quit\n");
    EXPECT_EQ(prog.Wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(ModemsimProgram, StopsCleanlyOnSignalOrEndOfInput) {
    namespace fs = std::filesystem;
    const fs::path link = fs::path(getenv("TARVIK_DOSDEVICES")) / "com12";
    {
        Program prog({"--link", "\\\\.\\COM12", "--log"});
        ASSERT_TRUE(prog.Started());
        ASSERT_FALSE(prog.ReadLine().empty());
        ASSERT_TRUE(fs::is_symlink(link));
        prog.Signal(SIGTERM);
        EXPECT_EQ(prog.Wait(), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
    {
        Program prog({"--link", "COM12"});
        ASSERT_TRUE(prog.Started());
        ASSERT_FALSE(prog.ReadLine().empty());
        prog.CloseInput();
        EXPECT_EQ(prog.Wait(), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
}

}  // namespace
