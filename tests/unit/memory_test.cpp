#include "memory.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <vector>

namespace kelvo {
namespace {

TEST(Memory, ProductsThatWrapAreNoSize) {
    EXPECT_EQ(uint64_t{1} << 63, checked_product(uint64_t{1} << 62, 2));
    EXPECT_EQ(std::nullopt, checked_product(uint64_t{1} << 62, 4));
    EXPECT_EQ(std::nullopt, checked_product(UINT64_MAX, 2));
    EXPECT_EQ(0u, checked_product(UINT64_MAX, 0));
}

TEST(Memory, AFailedAllocationIsReportedOnce) {
    const struct {
        const char* name;
        void (*build)();
        bool ok;
        const char* err;
    } cases[] = {
        {"fits", [] { std::vector<int>(10).swap(*std::make_unique<std::vector<int>>()); }, true,
         ""},
        {"bad_alloc", [] { throw std::bad_alloc(); }, false, "kelvo: error: Cannot allocate memory\n"},
        {"too long", [] { std::vector<int>().reserve(SIZE_MAX); }, false,
         "kelvo: error: Cannot allocate memory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.ok, allocate_or_report(c.build));
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
    }
}

}  // namespace
}  // namespace kelvo
