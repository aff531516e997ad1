#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// Runs check over count seeded pseudo-random byte strings and returns the
// first failure with the input that caused it, or "" when all passed. The
// same seed gives the same inputs, so a failure can be replayed.
template <typename Check>
std::string CheckGeneratedInputs(Check check, int count, std::uint32_t seed, std::size_t maxSize)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> input;
    for (int i = 0; i < count; ++i) {
        input.resize(random() % (maxSize + 1));
        for (std::uint8_t& byte : input) {
            byte = static_cast<std::uint8_t>(random());
        }
        const std::string failure = check(input.data(), input.size());
        if (!failure.empty()) {
            return "input #" + std::to_string(i) + ": " + failure;
        }
    }
    return "";
}
