#include "parallel/concurrency.hpp"

#include <cstdio>

namespace ratiokit {

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<Concurrency> concurrency_from(std::string_view lowered) {
  if (lowered == "cpu") return Concurrency::Cpu;
  if (lowered == "gpu") return Concurrency::Gpu;
  if (lowered == "gpu+cpu" || lowered == "gpucpu" || lowered == "gpu_cpu") {
    return Concurrency::GpuCpu;
  }
  return std::nullopt;
}

const char* concurrency_name(Concurrency mode) {
  switch (mode) {
    case Concurrency::Cpu:
      return "cpu";
    case Concurrency::Gpu:
      return "gpu";
    case Concurrency::GpuCpu:
      return "gpu+cpu";
  }
  return "cpu";
}

std::string quoted_literal(std::string_view text) {
  std::string out = "\"";
  for (size_t k = 0; k < text.size(); ++k) {
    const auto byte = static_cast<unsigned char>(text[k]);
    uint32_t control = 0xFFFFFFFF;
    if (byte < 0x20 || byte == 0x7F) {
      control = byte;
    } else if (byte == 0xC2 && k + 1 < text.size()) {
      // U+0080..U+009F, the C1 controls, are two bytes in UTF-8.
      const auto next = static_cast<unsigned char>(text[k + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        control = next;
        ++k;
      }
    }
    if (control == 0xFFFFFFFF) {
      if (byte == '"' || byte == '\\') out += '\\';
      out += static_cast<char>(byte);
      continue;
    }
    switch (control) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0:
        out += "\\0";
        break;
      default: {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(control));
        out += buf;
      }
    }
  }
  out += '"';
  return out;
}

}  // namespace ratiokit
