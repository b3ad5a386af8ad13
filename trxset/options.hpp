// trxset's command line: the options record, the option reader and the usage text.
#pragma once

#include <getopt.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace trxset {

// The options, as getopt_long reads them.
inline constexpr const char* short_options = "D:m:w:s";
inline constexpr option long_options[] = {
    {"device", required_argument, nullptr, 'D'},
    {"mode", required_argument, nullptr, 'm'},
    {"wuf", required_argument, nullptr, 'w'},
    {"status", no_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

struct trx_options {
    std::uint8_t device = 0;  // transceiver number, can<n>
    std::uint8_t mode = 0;    // 0: identify only
    bool status = false;
    // Wake-up frame; 0 in a field means "not given", fc 0xFF means no frame at all.
    std::uint8_t fc = 0xFF;
    std::uint32_t id = 0;
    std::uint32_t mask = 0;
    std::uint32_t cdr = 0;
    std::array<std::uint8_t, 8> dm{};  // dm[n] is data mask dm<n>
};

enum class option_outcome : std::uint8_t {
    run,
    bad_device,  // -D argument not starting with "can"
    bad_wuf,     // -w item that is not key=value with a known key
    usage,       // unknown option or missing argument; the parser has said which
};

struct option_reading {
    option_outcome outcome;
    const char* argument;  // the refused -D argument
};

// Reads the options in command-line order and stops at the first error.
option_reading read_options(int argc, char** argv, trx_options& options);

// -D: "can" and one decimal digit; anything else after "can" is transceiver 0. Reads nothing
// beyond the view. False when the text does not start with "can".
bool read_device(std::string_view text, std::uint8_t& device);

// Adds the items of one -w argument; false on an item that is refused.
bool read_wuf(std::string_view text, trx_options& options);

// Number conversions as the board's C library does them with its 32-bit long: leading white
// space and a sign allowed, conversion stops at the first character that does not fit,
// overflow saturates.
std::uint32_t to_unsigned(std::string_view text);  // base from the prefix: 0x, 0, decimal
std::int32_t to_decimal(std::string_view text);

// Interface texts, exact to the letter, misspellings included ("Tranceiver"): scripts in the
// field match them and the tests pin them. Never tidy one.
//
// Printed after "Usage: %s [-Dmws]\n", followed by one more line end.
inline constexpr std::string_view usage_options =
    "  -D --device   Tranceiver device to use (default can0)\n"
    "  -m --mode    1 = sleep with wake up on any frame\n"
    "    2 = normal\n"
    "    3 = sleep with wake up on dedicated CAN wake-up frames\n"
    "    4 = sleep with only WAKE pin as wakeup source\n"
    "  -w --wuf      wake-up frame(wake up on dedicated frame(s)),\n"
    "  Frame control(fc)\n"
    "    bit 7 = IDE = standard(11bit) 0, 1 (29bit) id\n"
    "     bit 6 = PNDM = 0, means data length code and data field are "
    "\xE2\x80\x98"
    "don\xE2\x80\x99t care\xE2\x80\x99 for wake-up\n"
    "      1, data length code and data field are evaluated at wake-up\n"
    "    bit 5 to 4 reserved\n"
    "    bit 3:0 = DLC number of data bytes expected in a CAN frame\n"
    "    Example fc=0x00,\n"
    "  Mask (11 bit)\n"
    "    Example mask=0x007,\n"
    "  ID (11 bit)\n"
    "    Example id=0x1A0,\n"
    "    Results in that any of eight different identifiers will be recognized\n"
    "   as valid in the received WUF (from 0x1A0 to 0x1A7)\n"
    "  CDR (can bit rates), 50 kbit/s, 100 kbit/s, 125 kbit/s, 250 kbit/s, 500 kbit/s and 1 "
    "Mbit/s are\n"
    "supported during selective wake-up.\n"
    "    Example cdr=250  Additional Data mask(dm) banks if DLC != 0, start with DM7\n"
    "    Example dm7=0xFF if DLC = 1 this will result in 8 groups of nodes could be woken up\n"
    "     full example -m 3 -w fc=0x00,mask=0x007,id=0x1A0,cdr=250 -s\n"
    "  -s --status   status of transceiver\n";

}  // namespace trxset
