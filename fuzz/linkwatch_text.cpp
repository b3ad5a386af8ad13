// linkwatch's texts from the command line: interface and address texts cut to 15 characters,
// the GPIO number and the path built from it, the check of the host address.
//
// Input: four bytes of an interface address, then words separated by NUL bytes.
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/common.hpp"
#include "linkwatch/watch.hpp"

namespace {

using namespace linkwatch;

// A dotted address as inet_pton reads one: four decimal parts of at most 255, nothing more, no
// leading zeros.
bool dotted(std::string_view s, std::uint8_t (&out)[4]) {
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (s.empty() || s[0] != '.') return false;
            s.remove_prefix(1);
        }
        std::size_t n = 0;
        unsigned v = 0;
        while (n < s.size() && n < 4 && s[n] >= '0' && s[n] <= '9')
            v = v * 10 + static_cast<unsigned>(s[n++] - '0');
        if (n == 0 || n > 3 || v > 255 || (n > 1 && s[0] == '0')) return false;
        out[part] = static_cast<std::uint8_t>(v);
        s.remove_prefix(n);
    }
    return s.empty();
}

void check_word(const char* word, in_addr interface_address) {
    const std::string_view w(word);
    text t;
    t.fill('x');
    set_text(t, word);
    const std::size_t kept = std::min(w.size(), max_text);
    FUZZ_REQUIRE(std::string_view(t.data()) == w.substr(0, kept));
    for (std::size_t i = kept; i < t.size(); ++i)
        FUZZ_REQUIRE(t[i] == '\0');

    // The address check sees the text as cut.
    std::uint8_t parts[4];
    const bool valid = dotted(t.data(), parts);
    const bool same = valid && std::memcmp(parts, &interface_address.s_addr, 4) == 0;
    FUZZ_REQUIRE(host_address_matches(t.data(), interface_address) == same);

    const long long v = std::strtoll(word, nullptr, 10);
    const int gpio = static_cast<int>(v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v);
    FUZZ_REQUIRE(parse_gpio(word) == gpio);
    path_text path;
    reset_path(path, gpio);
    FUZZ_REQUIRE(std::string_view(path.data()) ==
                 "/sys/class/gpio/gpio" + std::to_string(gpio) + "/value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    in_addr interface_address{};
    std::memcpy(&interface_address.s_addr, data, 4);

    // The interface's own address, written out, always matches.
    const auto* b = reinterpret_cast<const std::uint8_t*>(&interface_address.s_addr);
    const std::string own = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                            std::to_string(b[2]) + "." + std::to_string(b[3]);
    text t;
    set_text(t, own.c_str());
    FUZZ_REQUIRE(host_address_matches(t.data(), interface_address));

    fuzz::argument_words words("linkwatch", data + 4, size - 4);
    std::vector<char*> argv = words.argv();
    for (int k = 1; k < words.argc(); ++k)
        check_word(argv[static_cast<std::size_t>(k)], interface_address);
    return 0;
}
