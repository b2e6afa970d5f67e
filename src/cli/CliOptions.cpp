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
    if (word == "ports") return TCommand::Ports;
    if (word == "verify") return TCommand::Verify;
    if (word == "erase") return TCommand::Erase;
    if (word == "blank-check") return TCommand::BlankCheck;
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
        } else if (name == "--trace") {
            options.trace = takeValue();
            if (options.trace.empty() || options.trace == kStdStream) {
                throw EUsage("--trace needs a file name");
            }
        } else {
            throw EUsage("unknown option '" + arg + "'");
        }
    }
    if (options.help || options.version) return options;

    if (words.empty()) throw EUsage("no command given");
    options.command = ParseCommand(words[0]);
    const bool takesFile = options.command == TCommand::Program ||
                           options.command == TCommand::Read || options.command == TCommand::Verify;
    const std::size_t wanted = takesFile ? 2 : 1;
    if (words.size() < wanted) throw EUsage(words[0] + " needs a HEX file");
    if (words.size() > wanted) throw EUsage("unexpected argument '" + words[wanted] + "'");
    if (wanted == 2) options.file = words[1];

    if (options.command != TCommand::Program && (options.fastVerify || options.lock)) {
        throw EUsage(std::string(options.fastVerify ? "--fast-verify" : "--lock") +
                     " belongs to the program command");
    }
    if (options.command == TCommand::Detect && options.sizeGiven) {
        throw EUsage("--size does not belong to the detect command");
    }
    if (options.command == TCommand::Ports && options.sizeGiven) {
        throw EUsage("--size does not belong to the ports command");
    }
    if (!options.trace.empty() && options.trace == options.file) {
        throw EUsage("the trace cannot go to the HEX file");
    }
    if (options.command == TCommand::Ports && !options.port.empty()) {
        throw EUsage("--port does not belong to the ports command");
    }
    return options;
}

std::string UsageText() {
    return R"(Usage: corvane-cli [OPTION]... detect
       corvane-cli [OPTION]... program FILE.hex [--fast-verify] [--lock] [--size 2K|4K]
       corvane-cli [OPTION]... read FILE.hex [--size 2K|4K]
       corvane-cli [OPTION]... verify FILE.hex [--size 2K|4K]
       corvane-cli [OPTION]... erase [--size 2K|4K]
       corvane-cli [OPTION]... blank-check [--size 2K|4K]
       corvane-cli ports
Programs 89-series 8051 flash chips through a programmer board on a serial
port, without a window. The programmer is found as the window finds it: every
serial port in the system's list is greeted until one answers.

Commands:
  detect             find the programmer and print its chip and port
  program FILE.hex   erase the chip, write the file, verify it, optionally lock
  read FILE.hex      read the whole chip into an Intel HEX file
  verify FILE.hex    read the chip back and compare it with the file up to the
                     file's last byte that is not FF; never erases or writes
  erase              erase the chip
  blank-check        read the whole chip and check that every byte is FF

FILE.hex may be - : read writes the HEX text to standard output (the status
texts then go to standard error), program and verify read it from standard
input.
  ports              list the system's serial ports and whether the search
                     greets each (if not, why: console, busy, excluded, no
                     permission, not a terminal)

Options:
  --fast-verify      verify by the programmer's checksum instead of reading
                     back (not on a 2051/4051, which has no checksum)
  --lock             lock the chip after verifying
  --size 2K|4K       the code memory of a 2051/4051 (default 2K)
  --port PATH        use this serial port only instead of scanning the list
                     (also when it is busy or excluded)
  --trace FILE       write every byte sent to and received from the
                     programmer into FILE, one line each: milliseconds since
                     the start, TX or RX, the byte in hex, its character
  -q, --quiet        print no status texts and no progress
  -h, --help         show this text
  --version          show the version

Status texts go to standard output as they change; on a terminal a progress
bar shows bytes done, total and rate. Errors go to standard error.

The search leaves alone the system's consoles, ports that another process
holds open and the ports that $XDG_CONFIG_HOME/corvane/corvane.ini excludes
(section [Ports], keys ScanOnly and NeverScan; see the README).

Ctrl+C, SIGTERM or SIGHUP (the terminal closed) stops the work at the next
byte. The programmer board has no command that ends a write or read pass, so
the pass is finished first (0xFF, which leaves an erased cell as it is, for
each byte still to write; the rest of a read-back read and dropped): the board
is left at its prompt, ready for the next run. That takes as long as the rest
of the pass would have. A second Ctrl+C exits at once; the board may then need
a reset. Before any port is opened, a stop exits at once.

Exit status:
  0  the command ended in "Complete!" (detect: a chip was found; verify: the
     chip equals the file; blank-check: every byte is FF)
  1  a step failed; its failure text (such as "Write Failed!") is on stderr.
     verify: "Verify Failed!" after up to ten differing addresses with the
     file's and the chip's byte; blank-check: "Not Blank!" after the first
     address that is not FF
  2  the command line is wrong
  3  the HEX file cannot be read or written, is malformed (the message names
     the line), holds no data or does not fit the chip; or the trace file
     cannot be written
  4  no programmer answered, or its socket holds no chip that is known
     (when ports were refused for lack of permission, the message says which
     and how to get it)
  5  the serial port failed while the programmer was in use
  130, 143, 129
     stopped by Ctrl+C (SIGINT), SIGTERM or SIGHUP: 128 + the signal's number
     ("Stopped!" on stderr; a read saves nothing)
)";
}

}  // namespace corvane::cli
