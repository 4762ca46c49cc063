#include "Args.h"

#include <getopt.h>

#include <charconv>
#include <cstring>

#include <strings.h>

#ifndef TARVIK_TOOL_VERSION
#define TARVIK_TOOL_VERSION "unknown"
#endif

namespace tarvik::tool {

const char* Version() {
    return TARVIK_TOOL_VERSION;
}

namespace {
const Option kHelp{"help", 'h', nullptr, "show this help and exit"};
const Option kVersion{"version", 0, nullptr, "show the version and exit"};
const std::vector<std::string> kNone;
}  // namespace

bool ToInteger(const std::string& text, long lo, long hi, long* out) {
    long n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < lo || n > hi)
        return false;
    *out = n;
    return true;
}

int ComPortNumber(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0)
        name.erase(0, 4);
    long n = 0;
    if (name.size() > 3 && strncasecmp(name.c_str(), "COM", 3) == 0 && name[3] != '0' &&
        ToInteger(name.substr(3), 1, 256, &n))
        return static_cast<int>(n);
    return 0;
}

Args::Args(std::string program, std::string synopsis, std::vector<Option> options,
           std::string details)
    : program_(std::move(program)),
      synopsis_(std::move(synopsis)),
      details_(std::move(details)),
      options_(std::move(options)) {
    options_.push_back(kHelp);
    options_.push_back(kVersion);
}

std::optional<int> Args::Parse(const std::vector<std::string>& args) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return Parse(static_cast<int>(copy.size()), argv.data());
}

std::optional<int> Args::Parse(int argc, char** argv) {
    // ':' first: a missing value is told apart from an unknown option.
    std::string shortOptions = stopAtOperand_ ? "+:" : ":";
    std::vector<option> longOptions;
    for (size_t i = 0; i < options_.size(); ++i) {
        const Option& o = options_[i];
        longOptions.push_back({o.name, o.value ? required_argument : no_argument, nullptr,
                               static_cast<int>(256 + i)});
        if (o.shortName) {
            shortOptions += o.shortName;
            if (o.value)
                shortOptions += ':';
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // Parsing starts afresh for every Args (a command after the tool's own
    // options); opterr off: the messages are ours.
    optind = 0;
    opterr = 0;
    values_.clear();
    positional_.clear();
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), &index);
        if (c == -1)
            break;
        // The argument getopt stopped at, as the person typed it.
        auto offending = [&]() -> std::string {
            std::string text = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            if (text.rfind("--", 0) == 0)
                return text.substr(0, text.find('='));
            if (optopt)
                return std::string("-") + static_cast<char>(optopt);
            return text;
        };
        if (c == '?')
            return UsageError("unknown option '" + offending() + "'");
        if (c == ':')
            return UsageError("option '" + offending() + "' needs a value");
        const Option* o = nullptr;
        if (c >= 256)
            o = &options_[static_cast<size_t>(c - 256)];
        else
            for (const Option& candidate : options_)
                if (candidate.shortName == c)
                    o = &candidate;
        if (!o)
            return UsageError("unknown option");
        values_[o->name].push_back(optarg ? optarg : "");
    }
    for (int i = optind; i < argc; ++i)
        positional_.emplace_back(argv[i]);
    if (Has("help")) {
        PrintHelp(stdout);
        return 0;
    }
    if (Has("version")) {
        std::printf("%s %s\n", program_.substr(0, program_.find(' ')).c_str(), Version());
        return 0;
    }
    return std::nullopt;
}

std::string Args::Value(const char* name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second.back();
}

const std::vector<std::string>& Args::Values(const char* name) const {
    auto it = values_.find(name);
    return it == values_.end() ? kNone : it->second;
}

std::optional<long> Args::Integer(const char* name, long lo, long hi, long fallback) const {
    if (!Has(name))
        return fallback;
    long n = 0;
    if (ToInteger(Value(name), lo, hi, &n))
        return n;
    UsageError("--" + std::string(name) + " takes a whole number from " + std::to_string(lo) +
               " to " + std::to_string(hi) + ", not '" + Value(name) + "'");
    return std::nullopt;
}

int Args::UsageError(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program_.c_str(),
                 message.c_str(), program_.c_str());
    return kExitUsage;
}

void Args::PrintHelp(std::FILE* to) const {
    std::fprintf(to, "usage: %s %s\n", program_.c_str(), synopsis_.c_str());
    std::fprintf(to, "\nOptions:\n");
    for (const Option& o : options_) {
        std::string left = o.shortName ? std::string("-") + o.shortName + ", " : "    ";
        left += std::string("--") + o.name;
        if (o.value)
            left += std::string(" ") + o.value;
        std::string help = o.help;
        for (size_t nl = help.find('\n'); nl != std::string::npos; nl = help.find('\n', nl + 1))
            help.insert(nl + 1, std::string(28, ' '));
        if (left.size() > 25)
            std::fprintf(to, "  %s\n%28s%s\n", left.c_str(), "", help.c_str());
        else
            std::fprintf(to, "  %-25s %s\n", left.c_str(), help.c_str());
    }
    if (!details_.empty())
        std::fprintf(to, "\n%s\n", details_.c_str());
}

}  // namespace tarvik::tool
