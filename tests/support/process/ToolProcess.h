// One of the built tools run as a person runs it: its own process, standard
// input from the test (a pipe, or a pseudo-terminal when the tool must see a
// terminal), standard output and error collected apart.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tarvik::test {

class ToolProcess {
  public:
    enum class Input { Pipe, Terminal };
    // argv[0] is the program's path. With Input::Pipe, `input` is written and
    // standard input closed unless `keepInputOpen`; with Input::Terminal,
    // standard input and output are the slave of a pseudo-terminal.
    // `environment` ("NAME=value") is added to the test's own for this tool
    // only: setting it in the test would race the test's other threads.
    ToolProcess(std::vector<std::string> argv, const std::string& input = "",
                Input mode = Input::Pipe, bool keepInputOpen = false,
                const std::vector<std::string>& environment = {});
    ~ToolProcess();  // kills a tool still running
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // Waits until standard error (or output) holds `text` at or after `from`.
    bool WaitForError(const std::string& text, std::chrono::milliseconds timeout) {
        return WaitFor(err_, text, timeout, 0);
    }
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                       size_t from = 0) {
        return WaitFor(out_, text, timeout, from);
    }
    void Send(const std::string& bytes);
    void CloseInput();
    void Signal(int signal);
    // The exit status (128 + N for a signal), -1 when the tool is still
    // running after `timeout`.
    int Finish(std::chrono::milliseconds timeout = std::chrono::seconds(90));

    // The terminal's master side (Input::Terminal), for its settings.
    int Terminal() const { return in_; }
    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }

  private:
    // Collects what is there within `timeout`; false when both streams ended.
    bool Pump(std::chrono::milliseconds timeout);
    bool WaitFor(const std::string& stream, const std::string& text,
                 std::chrono::milliseconds timeout, size_t from);

    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string out_, err_;
};

// The tool's path by name: "tarvik" or "tarvik-modemsim".
std::string ToolPath(const std::string& name);

}  // namespace tarvik::test
