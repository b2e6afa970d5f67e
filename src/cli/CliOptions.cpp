#include "CliOptions.h"

#include <exception>
#include <string>

namespace corvane::cli {

namespace {

double ParseSeconds(const std::string& text) {
    std::size_t used = 0;
    double seconds = 0;
    try {
        seconds = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || !(seconds > 0) || seconds > 1e6) {
        throw EUsage("--timeout takes seconds, not '" + text + "'");
    }
    return seconds;
}

TCommand ParseCommand(const std::string& word) {
    if (word == "detect") return TCommand::Detect;
    if (word == "program") return TCommand::Program;
    if (word == "read") return TCommand::Read;
    if (word == "ports") return TCommand::Ports;
    if (word == "verify") return TCommand::Verify;
    if (word == "erase") return TCommand::Erase;
    if (word == "blank-check") return TCommand::BlankCheck;
    if (word == "station") return TCommand::Station;
    throw EUsage("unknown command '" + word + "'");
}

}  // namespace

TCliOptions ParseCommandLine(const std::vector<std::string>& args) {
    TCliOptions options;
    station::TArgReader line(args);
    station::TStationOptionReader stationOptions(options);
    while (line.NextOption()) {
        const std::string& name = line.Name();
        if (name == "--help" || name == "-h") {
            line.NoValue();
            options.help = true;
        } else if (name == "--version") {
            line.NoValue();
            options.version = true;
        } else if (name == "--all") {
            line.NoValue();
            options.all = true;
        } else if (name == "--count") {
            options.count = line.CountValue();
        } else if (name == "--timeout") {
            options.timeout = ParseSeconds(line.Value());
        } else if (name == "--trace") {
            options.trace = line.Value();
            if (options.trace.empty() || options.trace == kStdStream) {
                throw EUsage("--trace needs a file name");
            }
        } else if (!stationOptions.Take(line)) {
            throw EUsage("unknown option '" + line.Arg() + "'");
        }
    }
    if (options.help || options.version) return options;

    const std::vector<std::string>& words = line.Words();
    if (words.empty()) throw EUsage("no command given");
    options.command = ParseCommand(words[0]);
    const bool takesFile = options.command == TCommand::Program ||
                           options.command == TCommand::Station ||
                           options.command == TCommand::Read || options.command == TCommand::Verify;
    const std::size_t wanted = takesFile ? 2 : 1;
    if (words.size() < wanted) throw EUsage(words[0] + " needs a file");
    if (words.size() > wanted) throw EUsage("unexpected argument '" + words[wanted] + "'");
    if (wanted == 2) options.File = words[1];

    if (options.Format && !takesFile) {
        throw EUsage("--format belongs to program, verify, read and station");
    }
    const bool programs =
        options.command == TCommand::Program || options.command == TCommand::Station;
    if (!programs && (options.Board.FastVerify || options.Board.Lock)) {
        throw EUsage(std::string(options.Board.FastVerify ? "--fast-verify" : "--lock") +
                     " belongs to the program and station commands");
    }
    if (options.command != TCommand::Station) {
        if (const char* stationOption = stationOptions.StationOnlyOption()) {
            throw EUsage(std::string(stationOption) + " belongs to the station command");
        }
    } else {
        if (options.all) throw EUsage("station works on every programmer that answers already");
        if (!options.trace.empty()) throw EUsage("--trace does not belong to the station command");
        stationOptions.CheckStation();
    }
    if (options.command == TCommand::Detect && options.SizeGiven) {
        throw EUsage("--size does not belong to the detect command");
    }
    if (options.command == TCommand::Ports && options.SizeGiven) {
        throw EUsage("--size does not belong to the ports command");
    }
    if (!options.trace.empty() && options.trace == options.File) {
        throw EUsage("the trace cannot go to the image file");
    }
    if (options.command == TCommand::Ports && !options.Port.empty()) {
        throw EUsage("--port does not belong to the ports command");
    }
    if (options.all) {
        if (options.command == TCommand::Read) {
            throw EUsage("read --all: one file cannot hold many chips");
        }
        if (options.command == TCommand::Detect || options.command == TCommand::Ports) {
            throw EUsage("--all belongs to program, verify, erase and blank-check");
        }
        if (!options.Port.empty()) throw EUsage("--all greets every port; --port names one");
    }
    if (options.count > 0 && !options.all) throw EUsage("--count belongs to --all");
    if (options.timeout > 0 && options.count == 0) {
        throw EUsage("--timeout bounds the wait of --count");
    }
    return options;
}

std::string UsageText() {
    return R"(Usage: corvane-cli [OPTION]... detect
       corvane-cli [OPTION]... program FILE [--fast-verify] [--lock] [--size 2K|4K]
       corvane-cli [OPTION]... read FILE [--size 2K|4K]
       corvane-cli [OPTION]... verify FILE [--size 2K|4K]
       corvane-cli [OPTION]... erase [--size 2K|4K]
       corvane-cli [OPTION]... blank-check [--size 2K|4K]
       corvane-cli [OPTION]... --all [--count N [--timeout S]] program|verify FILE
       corvane-cli [OPTION]... --all [--count N [--timeout S]] erase|blank-check
       corvane-cli [OPTION]... station FILE [--chips N] [--serial ADDR=START
                   [--serial-format F] [--serial-overwrite]] [--log FILE.csv]
                   [--fast-verify] [--lock] [--size 2K|4K] [--no-bell]
       corvane-cli ports
Programs 89-series 8051 flash chips through a programmer board on a serial
port, without a window. The programmer is found as the window finds it: every
serial port in the system's list is greeted until one answers.

Commands:
  detect             find the programmer and print its chip and port
  program FILE       erase the chip, write the file, verify it, optionally lock
  read FILE          read the whole chip into the file
  verify FILE        read the chip back and compare it with the file: a HEX
                     file up to its last byte that is not FF, a binary file
                     every byte it holds; never erases or writes
  erase              erase the chip
  blank-check        read the whole chip and check that every byte is FF
  station FILE       a production station: on every programmer that answers,
                     program each chip seated, log it, wait until it is taken
                     out, again; until Ctrl+C (see "Production" below)
  ports              list the system's serial ports and whether the search
                     greets each (if not, why: console, busy, excluded, no
                     permission, not a terminal)

FILE is an Intel HEX file, or a raw binary file (its first byte at address 0)
when its name ends in .bin (any case). read writes the whole chip (a 2051/4051:
the --size chosen); a binary file that program or verify reads may be shorter
than the chip, not longer. FILE may be - : read writes to standard output (the
status texts then go to standard error), program and verify read standard
input; both in Intel HEX unless --format bin says otherwise.

Options:
  --format hex|bin   the file is Intel HEX or raw binary, whatever its name
  --fast-verify      verify by the programmer's checksum instead of reading
                     back (not on a 2051/4051, which has no checksum)
  --lock             lock the chip after verifying
  --size 2K|4K       the code memory of a 2051/4051 (default 2K)
  --port PATH        use this serial port only instead of scanning the list
                     (also when it is busy or excluded)
  --trace FILE       write every byte sent to and received from the
                     programmer into FILE, one line each: milliseconds since
                     the start, TX or RX, the byte in hex, its character
  --all              run the command on every programmer that answers, each
                     board on its own thread with its own port, the file
                     read once (program, verify, erase, blank-check)
  --count N          with --all: greet the ports once a second until at
                     least N programmers with a chip answer, then start
  --timeout S        give up that wait after S seconds (exit status 4)
  --chips N          station: end after N good chips in all
  --serial ADDR=START
                     station: write a serial number into each chip at ADDR,
                     from START upwards (decimal, or hexadecimal with 0x)
  --serial-format F  le16 (default), be16, le32, be32, or ascii:N (N decimal
                     digits with leading zeros)
  --serial-overwrite let the number overwrite bytes that the file sets
  --log FILE.csv     station: the log (default corvane-station.csv)
  --no-bell          station: no bell on a chip that fails
  -q, --quiet        print no status texts and no progress
  -h, --help         show this text
  --version          show the version

Status texts go to standard output as they change; on a terminal a progress
bar shows bytes done, total and rate. Errors go to standard error.

With --all a terminal shows one line per board (port, chip, step, bytes done,
rate), redrawn in place; otherwise each step is a line of its own that begins
with the board's port. At the end a table gives each board's port, chip,
result ("Complete!", the failure text, or "Stopped!"), time and, for program
and verify, the file's checksum as the board's checksum command gives it.
A board that fails ends on its own while the others go on. --trace FILE then
records the search into FILE and each board into FILE.PORT (the port's name
with each '/' made '_').

The search leaves alone the system's consoles, ports that another process
holds open and the ports that $XDG_CONFIG_HOME/corvane/corvane.ini excludes
(section [Ports], keys ScanOnly and NeverScan; see the README).

Ctrl+C, SIGTERM or SIGHUP (the terminal closed) stops the work at the next
byte. The programmer board has no command that ends a write or read pass, so
the pass is finished first (0xFF, which leaves an erased cell as it is, for
each byte still to write; the rest of a read-back read and dropped): the board
is left at its prompt, ready for the next run. That takes as long as the rest
of the pass would have. A second Ctrl+C exits at once; the board may then need
a reset. Before any port is opened, a stop exits at once. With --all the stop
reaches every board, and each finishes its pass.

Production (station): the file is read and checked once. Each programmer
that answers (--port: that one) is taken on, also when it appears later, and
worked on by itself: it waits until its socket holds a known chip, programs
it (erase, write, verify, --lock), then waits until the board says the socket
is empty, so a chip left in is never programmed twice (a lost or late reply
is no empty socket). A 2051/4051 board cannot tell an empty socket: there the
station asks for Enter before each chip. A board that goes away is reported
and the others go on; taken on again, it waits for an empty socket first. A
terminal shows a line per board and the totals (good, failed, chips per
hour), with a bell on each failure; otherwise each event is a line of its
own. The log (UTF-8 with a byte order mark) gets one row per chip, flushed to
the disk before the next chip starts: time (ISO 8601 with its offset), port,
chip, file, the file's checksum as the board's checksum command gives it
(0x1E05), serial, its address and format, number (used, or given back),
result, status (as that chip alone would end the program) and seconds; a
cell that a spreadsheet would take for a formula gets an apostrophe in front.
With --serial the next number is kept in FILE.csv.serial beside the log, so
a station started again continues the series. A number is in its chip from
the first byte written: a chip that fails after that keeps it; it goes back
only when nothing was written. No number the log holds in a chip is handed
out again, nor one that an erased chip holds (0xFFFF); when none is left the
station ends (exit status 1). Ctrl+C ends a station: a chip whose write has
begun is finished first, anything else ends at once; the exit status is then
0 when every chip passed and 1 when any failed. A second Ctrl+C ends at once
(130).

Exit status:
  0  the command ended in "Complete!" (detect: a chip was found; verify: the
     chip equals the file; blank-check: every byte is FF)
  1  a step failed; its failure text (such as "Write Failed!") is on stderr.
     verify: "Verify Failed!" after up to ten differing addresses with the
     file's and the chip's byte; blank-check: "Not Blank!" after the first
     address that is not FF
  2  the command line is wrong
  3  the file cannot be read or written, is malformed (the message names
     the line) or not HEX text, holds no data or does not fit the chip; or
     the trace file cannot be written
  4  no programmer answered, or its socket holds no chip that is known
     (when ports were refused for lack of permission, the message says which
     and how to get it)
  5  the serial port failed while the programmer was in use
  130, 143, 129
     stopped by Ctrl+C (SIGINT), SIGTERM or SIGHUP: 128 + the signal's number
     ("Stopped!" on stderr; a read saves nothing)
With --all: 0 when every board ended in "Complete!", otherwise the highest of
the boards' statuses (1, 3, 4 for a socket without a known chip, 5, or the
stop's 130, 143 or 129); 4 also when no programmer answered, or fewer than
--count before --timeout ran out.
)";
}

}  // namespace corvane::cli
