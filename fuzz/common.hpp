// What the fuzz targets share: the property check, guarded byte areas, argument words.
#pragma once

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

[[noreturn]] inline void violated(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    std::abort();
}

// Aborts, so that libFuzzer keeps the input, when a promised property does not hold.
#define FUZZ_REQUIRE(condition) \
    ((condition) ? static_cast<void>(0) : ::fuzz::violated(#condition, __FILE__, __LINE__))

// A byte area between two guards. While `fence` is up, ASan stops every access outside the
// part of the area it leaves open; the guards' pattern shows any write that got past anyway.
class guarded_area {
  public:
    static constexpr std::size_t guard = 64;  // a multiple of ASan's 8-byte granule
    static constexpr std::uint8_t pattern = 0xA5;

    explicit guarded_area(std::size_t size) : size_(size), storage_(size + 2 * guard, pattern) {
        std::memset(data(), 0, size_);
    }
    ~guarded_area() { lift(); }
    guarded_area(const guarded_area&) = delete;
    guarded_area& operator=(const guarded_area&) = delete;

    std::uint8_t* data() { return storage_.data() + guard; }
    std::size_t size() const { return size_; }

    // Poisons everything but [from, from + count) of the area; `from` 8-byte aligned.
    void fence(std::size_t from, std::size_t count) {
        lift();
        ASAN_POISON_MEMORY_REGION(storage_.data(), guard + from);
        ASAN_POISON_MEMORY_REGION(data() + from + count, size_ - from - count + guard);
    }
    void lift() { ASAN_UNPOISON_MEMORY_REGION(storage_.data(), storage_.size()); }

    bool guards_intact() {
        lift();
        for (std::size_t i = 0; i < guard; ++i)
            if (storage_[i] != pattern || storage_[guard + size_ + i] != pattern) return false;
        return true;
    }

  private:
    std::size_t size_;
    std::vector<std::uint8_t> storage_;
};

// The input as argument words: split at NUL bytes, behind the program's name. The strings
// live as long as the object; argv() hands out a fresh, writable list (getopt permutes it).
class argument_words {
  public:
    argument_words(const char* program, const std::uint8_t* data, std::size_t size) {
        words_.emplace_back(program);
        std::string word;
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] == 0) {
                words_.push_back(word);
                word.clear();
            } else {
                word.push_back(static_cast<char>(data[i]));
            }
        }
        if (size > 0) words_.push_back(word);
    }

    int argc() const { return static_cast<int>(words_.size()); }
    std::vector<char*> argv() {
        std::vector<char*> v;
        for (auto& w : words_)
            v.push_back(w.data());
        v.push_back(nullptr);
        return v;
    }

  private:
    std::vector<std::string> words_;
};

// What a printing function wrote to a stream, as a string.
template <typename Print>
std::string printed(Print print) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    if (!out) std::abort();
    print(out);
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
inline std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace fuzz
