#include "parallel/concurrency.hpp"

#include <gtest/gtest.h>

namespace ratiokit {
namespace {

TEST(Concurrency, SpellingsAfterLowerCasing) {
  EXPECT_EQ(concurrency_from(lower_ascii("cpu")), Concurrency::Cpu);
  EXPECT_EQ(concurrency_from(lower_ascii("GPU")), Concurrency::Gpu);
  EXPECT_EQ(concurrency_from(lower_ascii("GPU+CPU")), Concurrency::GpuCpu);
  EXPECT_EQ(concurrency_from(lower_ascii("Gpu_Cpu")), Concurrency::GpuCpu);
  EXPECT_EQ(concurrency_from(lower_ascii("gpucpu")), Concurrency::GpuCpu);
  EXPECT_EQ(concurrency_from(lower_ascii(" cpu")), std::nullopt);
  EXPECT_EQ(concurrency_from(lower_ascii("")), std::nullopt);
  EXPECT_EQ(concurrency_from(lower_ascii("cpu+gpu")), std::nullopt);
  EXPECT_EQ(lower_ascii("ÉTPU"), "Étpu");  // only ASCII letters change
  EXPECT_STREQ(concurrency_name(Concurrency::GpuCpu), "gpu+cpu");
}

TEST(Concurrency, QuotedLiteralEscapes) {
  EXPECT_EQ(quoted_literal("tpu"), "\"tpu\"");
  EXPECT_EQ(quoted_literal(""), "\"\"");
  EXPECT_EQ(quoted_literal(" cpu"), "\" cpu\"");
  EXPECT_EQ(quoted_literal("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_literal("x\ty\nz\r"), "\"x\\ty\\nz\\r\"");
  EXPECT_EQ(quoted_literal(std::string("\0\x1b\x7f", 3)), "\"\\0\\u{1b}\\u{7f}\"");
  EXPECT_EQ(quoted_literal("\xc2\x85\xc3\xa9"), "\"\\u{85}\xc3\xa9\"");  // C1 control, then é
}

}  // namespace
}  // namespace ratiokit
