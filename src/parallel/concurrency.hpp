// Concurrency modes: "cpu", "gpu" and "gpu+cpu". This build has no GPU backend, so every mode
// runs the exact CPU algorithm; modes are still validated so that a typo fails loudly. Plain
// C++ (no interpreter) so that the C++ tests can check the parsing and the message text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ratiokit {

enum class Concurrency : uint8_t { Cpu = 0, Gpu = 1, GpuCpu = 2 };

// ASCII letters are lower-cased; nothing is trimmed.
std::string lower_ascii(std::string_view text);

// The mode a lower-cased spelling names, if any.
std::optional<Concurrency> concurrency_from(std::string_view lowered);

const char* concurrency_name(Concurrency mode);

// `text` as a double-quoted literal with quotes, backslashes and control characters escaped.
std::string quoted_literal(std::string_view text);

}  // namespace ratiokit
