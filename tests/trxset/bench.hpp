// An in-memory chip on a chip_port: records the transfers and the messages in order.
#pragma once

#include <cstdio>
#include <string>

#include "tests/trxset/chips.hpp"
#include "trxset/tja1145.hpp"

namespace trxtest {

struct bench {
    chip c = clean_chip();
    std::string ops;   // "r4c w4c=00 ..." in transfer order
    std::string said;  // each message behind "[out]" or "[err]"

    trxset::chip_port port() {
        auto transfer = [](void* self, std::uint8_t byte0, std::uint8_t byte1) {
            auto& b = *static_cast<bench*>(self);
            char op[16];
            if (byte0 & 1)
                snprintf(op, sizeof op, "r%02x", byte0 >> 1);
            else
                snprintf(op, sizeof op, "w%02x=%02x", byte0 >> 1, byte1);
            b.ops += (b.ops.empty() ? "" : " ") + std::string(op);
            const std::uint8_t tx[2] = {byte0, byte1};
            std::uint8_t rx[2];
            boardsim::tja1145::serve(b.c, tx, rx);
            return rx[1];
        };
        auto print = [](void* self, trxset::stream where, const char* text) {
            static_cast<bench*>(self)->said +=
                (where == trxset::stream::out ? "[out]" : "[err]") + std::string(text);
        };
        return {this, transfer, print};
    }

    // Only the writes, as "4c=00 23=01".
    std::string writes() const {
        std::string out;
        for (std::size_t at = 0; at < ops.size(); at = ops.find(' ', at) + 1) {
            if (ops[at] == 'w') out += (out.empty() ? "" : " ") + ops.substr(at + 1, 5);
            if (ops.find(' ', at) == std::string::npos) break;
        }
        return out;
    }
};

}  // namespace trxtest
