// The version banner that the FlexRay programs print before their usage text.
#pragma once

#include <cstdio>

// Interface texts, exact to the letter: scripts in the field match them and the
// tests pin them. Never tidy one.
namespace frmcu {

inline void print_banner(const char* program, const char* version) {
    std::printf("%s v%s\n", program, version);
    std::printf("\n");
    std::printf("Copyright (c) 2026 The gateway tools developers\n");
}

}  // namespace frmcu
