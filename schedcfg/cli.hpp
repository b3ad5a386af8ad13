// The command line: options, command words, argument words, numbers, line speeds, usage text.
#pragma once

#include <getopt.h>
#include <termios.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "schedcfg/lin_protocol.hpp"

namespace schedcfg {

// The options, as getopt_long reads them; each takes its argument.
inline constexpr const char* short_options = "b:d:l:t:";
inline constexpr option long_options[] = {
    {"baud", required_argument, nullptr, 'b'},
    {"device", required_argument, nullptr, 'd'},
    {"listen", required_argument, nullptr, 'l'},
    {"timeout", required_argument, nullptr, 't'},
    {nullptr, 0, nullptr, 0},
};

struct command {
    std::string_view word;
    std::uint8_t type;  // message type code
};
inline constexpr std::array<command, 5> commands{{
    {"schedule", 2},
    {"frame", 3},
    {"item", 4},
    {"baudrate", 5},
    {"master", 6},
}};

// The type code of a command word (exact, case-sensitive), or -1.
int command_type(std::string_view word);

// The command word sits after the options, each option and its argument taken as two words.
constexpr int command_position(int option_count) {
    return 2 * option_count + 1;
}

// An argument word as a byte: optional white space, optional sign, decimal digits up to the first
// other character, modulo 256 ("300" is 44, "-1" is 255, "12x" is 12). False when the word does
// not begin with a number.
bool argument_byte(const char* word, std::uint8_t& out);

// A base-10 option value; text that is not a number reads as 0, values beyond int saturate.
int option_number(const char* text);

// The speed constant of an accepted line speed; false for any other value.
bool speed_of_baud(int baud, speed_t& out);

// What the options set.
struct options {
    int baud = 57600;
    int timeout = 5;  // listen time-out, seconds
    int option_count = 0;
    int frames_left = 0;
    int listen = 0;
    const char* device = nullptr;
};

// Reads the options with getopt_long, which moves the other words behind them in argv. Every
// option counts, rejected ones too: the command word's position depends on it.
void read_options(int argc, char** argv, options& o);

// The command word and its argument bytes, from the argument list as read_options left it.
enum class command_outcome {
    send,
    usage,         // no word at the command word's position
    bad_command,   // not a command word
    too_many,      // more argument words than a command message holds
    bad_argument,  // an argument word that does not begin with a number
};
struct command_request {
    command_outcome outcome;
    const char* word;     // the command word
    const char* refused;  // the argument word refused
    std::uint8_t type;
    std::size_t count;  // argument words
    std::array<std::uint8_t, max_argument_bytes> args;
};
command_request read_command(int argc, char** argv, int option_count);

// Interface texts, exact to the letter: scripts in the field match them and the
// tests pin them. Never tidy one.
// Printed for too few words on the command line.
inline constexpr std::string_view usage_text =
    "usage: \n"
    "\tschedcfg -bdlt <command>\n"
    "\t\t-d <lin serial port>\n"
    "\t\t-l <nr of frames>)\n"
    "\t\t-t timeout in seconds)\n"
    "\t\t-b baudrate)\n"
    "\n"
    "\tsupported commands are:\n"
    "\t\t- schedule\n"
    "\t\t- frame\n"
    "\t\t- item\n"
    "\t\t- baudrate\n"
    "\t\t- master\n"
    "\n"
    "Example: \n"
    "# Setup frame 10 to send data to slaves using protocol 1 with 3 data bytes (1, 2, 3)\n"
    "./schedcfg -d /dev/ttyHS1 frame 10 0 0 3 1 2 3\n"
    "# Setup frame 16 to request a response from slaves using protocol 1 and expect 4 bytes long "
    "answer.\n"
    "./schedcfg -d /dev/ttyHS1 frame 16 3 0 4\n"
    "# Schedule created frames in slot 0 and 1, both using 60 ticks each and enable both.\n"
    "./schedcfg -d /dev/ttyHS1 item 0 10 60 1\n"
    "./schedcfg -d /dev/ttyHS1 item 1 16 60 1\n"
    "# Enable the schedule to use items 0-1 start with item 0.\n"
    "./schedcfg -d /dev/ttyHS1 schedule 0 1 0 1\n"
    "# Start to listen for forwarded responses.\n"
    "./schedcfg -d /dev/ttyHS1 listen\n";

}  // namespace schedcfg
