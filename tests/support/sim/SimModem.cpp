#include "sim/SimModem.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tarvik::test {

SimModem::SimModem(Options options) : modem_(std::move(options)) {
    modem_.SetObserver(this);
}

SimModem::~SimModem() {
    // The modem's thread calls into this object: it must stop first.
    modem_.Stop();
}

bool SimModem::Start() {
    std::string error;
    if (!modem_.Start(&error)) {
        ADD_FAILURE() << "simulated modem did not start: " << error;
        return false;
    }
    return true;
}

void SimModem::Stop() {
    modem_.Stop();
}

std::string SimModem::LinkAs(const std::string& port) {
    std::string error;
    if (!link_.Create(port, modem_.SlavePath(), &error)) {
        ADD_FAILURE() << "cannot link " << port << ": " << error;
        return {};
    }
    return link_.Path();
}

bool SimModem::JoinExchange(modemsim::Exchange& exchange, const std::string& number) {
    return exchange.Join(modem_, number);
}

void SimModem::SetOutcome(const std::string& number, Outcome outcome) {
    modem_.SetOutcome(number, std::move(outcome));
}

void SimModem::SetOutcome(const std::string& number, std::string_view outcome) {
    auto parsed = Outcome::Parse(outcome);
    if (!parsed) {
        ADD_FAILURE() << "not a dial outcome: " << outcome;
        return;
    }
    modem_.SetOutcome(number, *parsed);
}

void SimModem::SetCallerId(std::string_view fields, CallerIdFormat format) {
    auto cid = modemsim::CallerId::Parse(fields);
    if (!cid) {
        ADD_FAILURE() << "not caller-ID data: " << fields;
        return;
    }
    modem_.SetCallerId(*cid, format);
}

// ---- Observer (modem thread)

void SimModem::OnReceived(std::string_view bytes, Clock::time_point at) {
    {
        std::lock_guard lock(mu_);
        received_.bytes.append(bytes);
        received_.times.insert(received_.times.end(), bytes.size(), at);
    }
    cv_.notify_all();
}

void SimModem::OnSent(std::string_view bytes, Clock::time_point at) {
    {
        std::lock_guard lock(mu_);
        sent_.bytes.append(bytes);
        sent_.times.insert(sent_.times.end(), bytes.size(), at);
    }
    cv_.notify_all();
}

void SimModem::OnCommandLine(std::string_view line, Clock::time_point at) {
    {
        std::lock_guard lock(mu_);
        lines_.push_back({std::string(line), at});
    }
    cv_.notify_all();
}

void SimModem::OnStateChanged(State) {
    // WaitForState asks the engine; wake it under the lock so no change is missed.
    std::lock_guard lock(mu_);
    cv_.notify_all();
}

// ---- Records

std::string SimModem::Received() const {
    CatchUp();
    std::lock_guard lock(mu_);
    return received_.bytes;
}
std::string SimModem::Sent() const {
    CatchUp();
    std::lock_guard lock(mu_);
    return sent_.bytes;
}
size_t SimModem::ReceivedSize() const {
    CatchUp();
    std::lock_guard lock(mu_);
    return received_.bytes.size();
}
size_t SimModem::SentSize() const {
    CatchUp();
    std::lock_guard lock(mu_);
    return sent_.bytes.size();
}

SimModem::Clock::time_point SimModem::ReceivedAt(size_t offset) const {
    CatchUp();
    std::lock_guard lock(mu_);
    if (offset >= received_.times.size()) {
        ADD_FAILURE() << "no received byte at offset " << offset;
        return {};
    }
    return received_.times[offset];
}

std::optional<SimModem::Duration> SimModem::GapBefore(size_t offset) const {
    CatchUp();
    std::lock_guard lock(mu_);
    if (offset == 0 || offset >= received_.times.size())
        return std::nullopt;
    return received_.times[offset] - received_.times[offset - 1];
}

std::vector<SimModem::Line> SimModem::Lines() const {
    CatchUp();
    std::lock_guard lock(mu_);
    return lines_;
}

// ---- Waits

std::optional<SimModem::Match> SimModem::WaitIn(const Record& record, std::string_view text,
                                                Duration timeout, size_t from) {
    if (text.empty()) {
        ADD_FAILURE() << "waiting for an empty text";
        return std::nullopt;
    }
    CatchUp();
    std::unique_lock lock(mu_);
    std::optional<Match> found;
    cv_.wait_for(lock, timeout, [&] {
        if (from >= record.bytes.size())
            return false;
        size_t pos = record.bytes.find(text, from);
        if (pos == std::string::npos)
            return false;
        found = Match{pos, record.times[pos], record.times[pos + text.size() - 1]};
        return true;
    });
    return found;
}

std::optional<SimModem::Match> SimModem::WaitForReceived(std::string_view text, Duration timeout,
                                                         size_t from) {
    return WaitIn(received_, text, timeout, from);
}

std::optional<SimModem::Match> SimModem::WaitForSent(std::string_view text, Duration timeout,
                                                     size_t from) {
    return WaitIn(sent_, text, timeout, from);
}

std::optional<SimModem::Line> SimModem::WaitForLine(std::string_view text, Duration timeout,
                                                    size_t from) {
    CatchUp();
    std::unique_lock lock(mu_);
    std::optional<Line> found;
    cv_.wait_for(lock, timeout, [&] {
        for (size_t i = from; i < lines_.size(); ++i) {
            if (lines_[i].text.find(text) != std::string::npos) {
                found = lines_[i];
                return true;
            }
        }
        return false;
    });
    return found;
}

bool SimModem::WaitForState(State state, Duration timeout) {
    // The state is asked for without the lock: from another process the
    // answer comes on the thread that brings the reports, which takes it.
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (modem_.GetState() == state)
            return true;
        std::unique_lock lock(mu_);
        if (Clock::now() >= deadline)
            return false;
        // In slices: a change reported between the question and the wait
        // would otherwise go unnoticed until the next.
        cv_.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
    }
}

void SimModem::CatchUp() const {
#ifdef _WIN32
    // The modem's reports come from the simulator's server: any answer from
    // it follows everything it reported before the question.
    modem_.GetState();
#endif
}

}  // namespace tarvik::test
