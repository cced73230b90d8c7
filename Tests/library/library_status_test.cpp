// The C API's documented statuses for what a caller gets wrong: handles never opened, made up
// or closed (twice), buffers too small (the count needed, nothing written), bad arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kwotarv.h"

namespace {

class LibraryStatus : public testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(kwo_open(&handle_), KWO_OK);
        ASSERT_NE(handle_, 0u);
        ASSERT_EQ(kwo_read_all(handle_, nullptr, 0, &needed_), KWO_ERROR_BUFFER_TOO_SMALL);
        ASSERT_GT(needed_, 1u);
    }
    void TearDown() override
    {
        if (handle_ != 0)
            kwo_close(handle_);
    }
    kwo_handle handle_ = 0;
    uint32_t needed_ = 0;
};

TEST_F(LibraryStatus, CallersMistakesGetTheirStatus)
{
    kwo_handle closed = 0;
    ASSERT_EQ(kwo_open(&closed), KWO_OK);
    ASSERT_EQ(kwo_close(closed), KWO_OK);
    std::vector<kwo_channel> records(needed_ + 1);
    kwo_chip_info info;
    uint32_t count = 0;

    struct Case {
        const char* what;
        std::function<kwo_status()> call;
        kwo_status expected;
    };
    const Case cases[] = {
        {"handle never opened", [&] { return kwo_read_all(0, records.data(), needed_, &count); },
         KWO_ERROR_INVALID_HANDLE},
        {"made-up handle", [&] { return kwo_describe(0xDEADBEEF, &info); },
         KWO_ERROR_INVALID_HANDLE},
        {"closed handle read",
         [&] { return kwo_read_group(closed, KWO_KIND_FAN, records.data(), needed_, &count); },
         KWO_ERROR_INVALID_HANDLE},
        {"closed twice", [&] { return kwo_close(closed); }, KWO_ERROR_INVALID_HANDLE},
        {"no count", [&] { return kwo_read_all(handle_, records.data(), needed_, nullptr); },
         KWO_ERROR_INVALID_ARGUMENT},
        {"no records for a capacity",
         [&] { return kwo_read_all(handle_, nullptr, needed_, &count); },
         KWO_ERROR_INVALID_ARGUMENT},
        {"unknown kind",
         [&] { return kwo_read_group(handle_, 4, records.data(), needed_, &count); },
         KWO_ERROR_INVALID_ARGUMENT},
        {"no info", [&] { return kwo_describe(handle_, nullptr); }, KWO_ERROR_INVALID_ARGUMENT},
        {"wait too long", [&] { return kwo_open_with(KWO_MAX_BUS_LOCK_WAIT_MS + 1, &closed); },
         KWO_ERROR_INVALID_ARGUMENT},
        {"no handle out", [&] { return kwo_open(nullptr); }, KWO_ERROR_INVALID_ARGUMENT},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.call(), c.expected) << c.what;
    EXPECT_EQ(kwo_read_all(handle_, records.data(), needed_, &count), KWO_OK);
}

TEST_F(LibraryStatus, TooSmallBufferTellsTheCountAndWritesNothing)
{
    std::vector<kwo_channel> records(needed_);
    std::memset(records.data(), 0x5A, records.size() * sizeof(kwo_channel));
    uint32_t count = 0;
    EXPECT_EQ(kwo_read_all(handle_, records.data(), needed_ - 1, &count),
              KWO_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, needed_);
    for (const kwo_channel& record : records)
        EXPECT_EQ(record.kind, 0x5A5A5A5Au) << "a too-small buffer was written";

    ASSERT_EQ(kwo_read_all(handle_, records.data(), needed_, &count), KWO_OK);
    EXPECT_EQ(count, needed_);
    // Each group read alone gives that group's records of the whole reading.
    for (uint32_t kind : {KWO_KIND_VOLTAGE, KWO_KIND_TEMPERATURE, KWO_KIND_FAN}) {
        std::vector<kwo_channel> group(needed_);
        uint32_t groupCount = 0;
        ASSERT_EQ(kwo_read_group(handle_, kind, group.data(), needed_, &groupCount), KWO_OK);
        std::vector<std::string> expected, got;
        for (const kwo_channel& record : records)
            if (record.kind == kind)
                expected.push_back(record.name);
        for (uint32_t i = 0; i < groupCount; ++i)
            got.push_back(group[i].name);
        EXPECT_EQ(got, expected) << "kind " << kind;
    }
}

TEST(LibraryStatusText, EveryStatusHasItsOwnText)
{
    const std::string unknown = kwo_status_text(-1);
    std::vector<std::string> texts;
    for (kwo_status status = KWO_OK; status <= KWO_ERROR_SYSTEM; ++status) {
        texts.push_back(kwo_status_text(status));
        EXPECT_NE(texts.back(), unknown) << status;
    }
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
    EXPECT_EQ(std::string(kwo_version()), KWOTARV_VERSION_TEXT);
}

} // namespace
