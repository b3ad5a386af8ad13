// schedcfg's command line: the options, the command word at its position and the argument
// words turned into the command message's bytes.
//
// Input: the argument words, separated by NUL bytes.
#include <getopt.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/common.hpp"
#include "schedcfg/cli.hpp"

namespace {

using namespace schedcfg;

int strtol_int(const char* text) {
    const long long v = std::strtoll(text, nullptr, 10);
    return static_cast<int>(v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v);
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Whether the word begins with a number: blanks, a sign, a digit.
bool begins_with_number(const char* w) {
    while (is_space(*w))
        ++w;
    if (*w == '+' || *w == '-') ++w;
    return *w >= '0' && *w <= '9';
}

// The number of digits in the word's number, the leading ones included.
std::size_t digit_count(const char* w) {
    while (is_space(*w) || *w == '+' || *w == '-')
        ++w;
    std::size_t n = 0;
    while (w[n] >= '0' && w[n] <= '9')
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::argument_words words("schedcfg", data, size);
    opterr = 0;  // the parser's complaints are no part of what is checked
    const int argc = words.argc();

    // Every option the parser hands out counts; the last of each kind holds.
    std::vector<char*> model_argv = words.argv();
    optind = 0;
    options model;
    int c;
    while ((c = getopt_long(argc, model_argv.data(), schedcfg::short_options,
                            schedcfg::long_options, nullptr)) != -1) {
        ++model.option_count;
        if (c == 'b') model.baud = strtol_int(optarg);
        if (c == 'd') model.device = optarg;
        if (c == 'l') {
            model.frames_left = strtol_int(optarg);
            model.listen = 1;
        }
        if (c == 't') model.timeout = strtol_int(optarg);
    }

    std::vector<char*> argv = words.argv();
    optind = 0;
    options o;
    read_options(argc, argv.data(), o);
    FUZZ_REQUIRE(o.option_count == model.option_count && o.baud == model.baud);
    FUZZ_REQUIRE(o.timeout == model.timeout && o.frames_left == model.frames_left);
    FUZZ_REQUIRE(o.listen == model.listen);
    FUZZ_REQUIRE((o.device == nullptr) == (model.device == nullptr));
    if (o.device) FUZZ_REQUIRE(std::string_view(o.device) == model.device);
    for (int k = 0; k < argc; ++k)
        FUZZ_REQUIRE(std::string_view(argv[static_cast<std::size_t>(k)]) ==
                     model_argv[static_cast<std::size_t>(k)]);

    speed_t speed = 0;
    const bool known = o.baud == 9600 || o.baud == 19200 || o.baud == 38400 || o.baud == 57600 ||
                       o.baud == 115200 || o.baud == 230400;
    FUZZ_REQUIRE(speed_of_baud(o.baud, speed) == known);

    // The command word sits behind the options, each option and its argument two words.
    const command_request r = read_command(argc, argv.data(), o.option_count);
    const long position = 2L * o.option_count + 1;
    if (position >= argc) {
        FUZZ_REQUIRE(r.outcome == command_outcome::usage);
        return 0;
    }
    const char* word = argv[static_cast<std::size_t>(position)];
    FUZZ_REQUIRE(r.word == word);
    const std::string_view w(word);
    const int type = w == "schedule"   ? 2
                     : w == "frame"    ? 3
                     : w == "item"     ? 4
                     : w == "baudrate" ? 5
                     : w == "master"   ? 6
                                       : -1;
    FUZZ_REQUIRE(command_type(w) == type);
    if (type < 0) {
        FUZZ_REQUIRE(r.outcome == command_outcome::bad_command);
        return 0;
    }
    const std::size_t count = static_cast<std::size_t>(argc - position - 1);
    FUZZ_REQUIRE(r.type == type);
    if (count > max_argument_bytes) {
        FUZZ_REQUIRE(r.outcome == command_outcome::too_many && r.count == count);
        return 0;
    }
    // Each argument word is one byte: its number modulo 256, as "%hhu" reads it.
    for (std::size_t k = 0; k < count; ++k) {
        const char* arg = argv[static_cast<std::size_t>(position) + 1 + k];
        if (!begins_with_number(arg)) {
            FUZZ_REQUIRE(r.outcome == command_outcome::bad_argument && r.refused == arg);
            return 0;
        }
        // Up to nine digits the number fits any unsigned long, so scanf has no overflow to
        // saturate.
        if (digit_count(arg) <= 9) {
            unsigned char b = 0;
            FUZZ_REQUIRE(std::sscanf(arg, "%hhu", &b) == 1 && r.args[k] == b);
        }
    }
    FUZZ_REQUIRE(r.outcome == command_outcome::send && r.count == count);
    return 0;
}
