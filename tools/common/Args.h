// The command-line conventions both tools share, on top of getopt_long:
// "--help" prints the help on standard output and exits 0, "--version" prints
// the version, and a usage error names the offending option, points at
// "--help" and exits with kExitUsage.
//
//   tarvik::tool::Args args("tarvik dial", "[OPTIONS] --number NUMBER",
//                           {{"number", 'n', "NUMBER", "the number to dial"},
//                            {"pulse", 0, nullptr, "pulse dialling"}});
//   if (auto done = args.Parse(argc, argv))
//       return *done;                  // help, version or a usage error
//   std::string number = args.Value("number");
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::tool {

// Exit status of a usage error, for every tool.
inline constexpr int kExitUsage = 2;

// The version both tools print.
const char* Version();

struct Option {
    const char* name;   // long name, without the dashes
    char shortName;     // 0: none
    const char* value;  // the value's name in the help ("NUMBER"); null for a flag
    const char* help;   // one line; "\n" starts a continuation line
};

class Args {
  public:
    // `program` is what messages start with ("tarvik dial"); `synopsis` follows
    // it on the usage line; `details` is printed after the options.
    Args(std::string program, std::string synopsis, std::vector<Option> options,
         std::string details = {});

    // Options end at the first operand (a command name and its own options
    // follow it), instead of being gathered from anywhere on the line.
    void StopAtFirstOperand() { stopAtOperand_ = true; }

    // Parses argv (argv[0] is the program or command name). Nothing when the
    // command should run; else the exit status, after printing the help, the
    // version or the usage error.
    std::optional<int> Parse(int argc, char** argv);
    std::optional<int> Parse(const std::vector<std::string>& args);

    bool Has(const char* name) const { return values_.count(name) != 0; }
    // The last value given, or `fallback`.
    std::string Value(const char* name, const std::string& fallback = {}) const;
    // Every value given, in order (repeatable options).
    const std::vector<std::string>& Values(const char* name) const;
    const std::vector<std::string>& Positional() const { return positional_; }

    // An integer option between lo and hi; a usage error (message printed,
    // nothing returned) when it is not one. `fallback` when absent.
    std::optional<long> Integer(const char* name, long lo, long hi, long fallback) const;

    // Prints "PROGRAM: MESSAGE" and the pointer to --help on standard error;
    // returns kExitUsage.
    int UsageError(const std::string& message) const;
    void PrintHelp(std::FILE* to) const;
    const std::string& Program() const { return program_; }

  private:
    std::string program_, synopsis_, details_;
    std::vector<Option> options_;
    bool stopAtOperand_ = false;
    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positional_;
};

// A whole decimal number between lo and hi.
bool ToInteger(const std::string& text, long lo, long hi, long* out);

// The number of a port name both tools take ("COM5", "com5", "\\.\COM5"),
// COM1 to COM256; 0 for anything else.
int ComPortNumber(std::string name);

}  // namespace tarvik::tool
