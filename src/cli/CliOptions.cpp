#include "CliOptions.h"

namespace corvane::cli {

namespace {

int ParseSize(const std::string& text) {
    if (text == "2K" || text == "2k" || text == "2KB") return 0;
    if (text == "4K" || text == "4k" || text == "4KB") return 1;
    throw EUsage("--size takes 2K or 4K, not '" + text + "'");
}

TCommand ParseCommand(const std::string& word) {
    if (word == "detect") return TCommand::Detect;
    if (word == "program") return TCommand::Program;
    if (word == "read") return TCommand::Read;
    throw EUsage("unknown command '" + word + "'");
}

}  // namespace

TCliOptions ParseCommandLine(const std::vector<std::string>& args) {
    TCliOptions options;
    std::vector<std::string> words;
    bool optionsEnd = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        // "--name=value" and "--name value" both give a value.
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        auto takeValue = [&]() {
            if (inlineValue) return value;
            if (i + 1 >= args.size()) throw EUsage(name + " needs a value");
            return args[++i];
        };
        auto noValue = [&]() {
            if (inlineValue) throw EUsage(name + " takes no value");
        };
        if (name == "--") {
            optionsEnd = true;
        } else if (name == "--help" || name == "-h") {
            noValue();
            options.help = true;
        } else if (name == "--version") {
            noValue();
            options.version = true;
        } else if (name == "--quiet" || name == "-q") {
            noValue();
            options.quiet = true;
        } else if (name == "--fast-verify") {
            noValue();
            options.fastVerify = true;
        } else if (name == "--lock") {
            noValue();
            options.lock = true;
        } else if (name == "--size") {
            options.memSizeIndex = ParseSize(takeValue());
            options.sizeGiven = true;
        } else if (name == "--port") {
            options.port = takeValue();
            if (options.port.empty()) throw EUsage("--port needs a path");
        } else {
            throw EUsage("unknown option '" + arg + "'");
        }
    }
    if (options.help || options.version) return options;

    if (words.empty()) throw EUsage("no command given");
    options.command = ParseCommand(words[0]);
    const std::size_t wanted = options.command == TCommand::Detect ? 1 : 2;
    if (words.size() < wanted) throw EUsage(words[0] + " needs a HEX file");
    if (words.size() > wanted) throw EUsage("unexpected argument '" + words[wanted] + "'");
    if (wanted == 2) options.file = words[1];

    if (options.command != TCommand::Program && (options.fastVerify || options.lock)) {
        throw EUsage(std::string(options.fastVerify ? "--fast-verify" : "--lock") +
                     " belongs to the program command");
    }
    if (options.command == TCommand::Detect && options.sizeGiven) {
        throw EUsage("--size belongs to the program and read commands");
    }
    return options;
}

std::string UsageText() {
    return R"(Usage: corvane-cli [OPTION]... detect
       corvane-cli [OPTION]... program FILE.hex [--fast-verify] [--lock] [--size 2K|4K]
       corvane-cli [OPTION]... read FILE.hex [--size 2K|4K]
Programs 89-series 8051 flash chips through a programmer board on a serial
port, without a window. The programmer is found as the window finds it: every
serial port in the system's list is greeted until one answers.

Commands:
  detect             find the programmer and print its chip and port
  program FILE.hex   erase the chip, write the file, verify it, optionally lock
  read FILE.hex      read the whole chip into an Intel HEX file

Options:
  --fast-verify      verify by the programmer's checksum instead of reading
                     back (not on a 2051/4051, which has no checksum)
  --lock             lock the chip after verifying
  --size 2K|4K       the code memory of a 2051/4051 (default 2K)
  --port PATH        use this serial port only instead of scanning the list
  -q, --quiet        print no status texts and no progress
  -h, --help         show this text
  --version          show the version

Status texts go to standard output as they change; on a terminal a progress
bar shows bytes done, total and rate. Errors go to standard error.

Ctrl+C or SIGTERM stops the work at the next byte. The programmer board has
no command that ends a write or read pass, so the pass is finished first
(0xFF, which leaves an erased cell as it is, for each byte still to write; the
rest of a read-back read and dropped): the board is left at its prompt, ready
for the next run. That takes as long as the rest of the pass would have. A
second Ctrl+C exits at once; the board may then need a reset.

Exit status:
  0  the workflow ended in "Complete!" (detect: a chip was found)
  1  a step failed; its failure text (such as "Write Failed!") is on stderr
  2  the command line is wrong
  3  the HEX file cannot be read or written, is malformed (the message names
     the line) or does not fit the chip
  4  no programmer answered, or its socket holds no chip that is known
  5  the serial port failed while the programmer was in use
  130, 143
     stopped by Ctrl+C (SIGINT) or SIGTERM: 128 + the signal's number
     ("Stopped!" on stderr; a read saves nothing)
)";
}

}  // namespace corvane::cli
