// The pseudo-terminal pair for a Windows test program, which cannot make one:
// tarvik-modemsim-server makes it on the Linux side and plays its master end
// as told. The pair's id at the server stands where the master's descriptor
// stands on Linux.
#include <gtest/gtest.h>

#include "../../../tools/modemsim/remote/Wire.h"
#include "pty/PtyPair.h"

namespace tarvik::test {

namespace wire = modemsim::wire;

namespace {
wire::Writer Request(const char* verb, int id) {
    wire::Writer w;
    w.Word(verb).Int(id);
    return w;
}
bool Flag(const wire::Writer& request) {
    wire::Reader r = wire::Call(request);
    return r.Int() == 1 && r.Ok();
}
}  // namespace

// The slave's settings are the server's to make; a port on Windows always
// opens it afresh, so `keepSlaveOpen` only decides whether the server holds
// the slave end for FillSlaveOutput and HoldSlaveOutput.
PtyPair::PtyPair(bool keepSlaveOpen, bool sane) {
    const int id = static_cast<int>(wire::NewId());
    wire::Reader r = wire::Call(Request("pty", id).Int(keepSlaveOpen).Int(sane));
    bool valid = r.Int() == 1;
    slavePath_ = r.Text();
    if (valid && r.Ok())
        master_ = id;
    else
        ADD_FAILURE() << "the modem simulator's server made no pseudo-terminal";
}

PtyPair::~PtyPair() {
    if (master_ >= 0 || !slavePath_.empty())
        wire::Call(Request("ptyfree", master_ >= 0 ? master_ : slave_));
}

bool PtyPair::MapAs(const std::string& comName) const {
    return Flag(Request("ptymap", master_).Text(comName));
}

TerminalSettings PtyPair::Settings() const {
    wire::Reader r = wire::Call(Request("ptysettings", master_));
    // A braced list takes the answer's values in order.
    return {static_cast<long>(r.Int()), static_cast<long>(r.Int()), static_cast<int>(r.Int()),
            r.Text()};
}

bool PtyPair::Write(const std::string& bytes) const {
    return Flag(Request("ptywrite", master_).Text(bytes));
}

std::string PtyPair::Read(size_t want, std::chrono::milliseconds timeout) const {
    return wire::Call(
               Request("ptyread", master_).Int(static_cast<int64_t>(want)).Int(timeout.count()))
        .Text();
}

std::string PtyPair::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) const {
    return wire::Call(Request("ptyreaduntil", master_).Text(text).Int(timeout.count())).Text();
}

size_t PtyPair::FillSlaveOutput() const {
    return static_cast<size_t>(wire::Call(Request("ptyfill", master_)).Int());
}

bool PtyPair::HoldSlaveOutput() const {
    return Flag(Request("ptyhold", master_));
}

bool PtyPair::ReleaseSlaveOutput() const {
    return Flag(Request("ptyrelease", master_));
}

void PtyPair::CloseMaster() {
    if (master_ < 0)
        return;
    wire::Call(Request("ptyclose", master_));
    // Kept for the server's clean-up in the destructor.
    slave_ = master_;
    master_ = -1;
}

}  // namespace tarvik::test
