// SPDX-License-Identifier: Apache-2.0
#include "lights_test_support.h"

#include "backlight_backend.h"

#include <errno.h>
#include <string.h>

#include <set>

using namespace lights_test;

namespace
{

/* A handle pointer value the module must leave alone when acquire fails. */
light_handle* const untouched = reinterpret_cast<light_handle*>(0x1234);

bool all_zero(const void* bytes, size_t size)
{
    const unsigned char* byte = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        if (byte[i] != 0)
            return false;
    }
    return true;
}

} // namespace

TEST(ModuleRecordTest, ReadsMagicVersionTextsTableAndZeroSpare)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&HMI);
    EXPECT_EQ(memcmp(bytes, "TMWH", 4), 0);
    const unsigned char version[4] = {1, 0, 0, 0};
    EXPECT_EQ(memcmp(bytes + 4, version, 4), 0);
    EXPECT_STREQ(HMI.ident, "lights");
    EXPECT_STREQ(HMI.title, "Pellix Lights Module");
    ASSERT_NE(HMI.credit, nullptr);
    EXPECT_NE(strchr(HMI.credit, '@'), nullptr) << "the credit names a contact address";
    ASSERT_NE(HMI.entry_table, nullptr);
    EXPECT_NE(HMI.entry_table->open_entry, nullptr);
    EXPECT_EQ(HMI.loader_slot, nullptr);
    EXPECT_TRUE(all_zero(HMI.spare, sizeof HMI.spare));
    EXPECT_EQ(sizeof HMI.spare, 100u);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizeof HMI, 128u);
    }
}

TEST(AcquireTest, EveryLightYieldsAZeroFilledHandleOwnedByTheCallersModule)
{
    for (const char* name : light_names) {
        light_handle* handle = nullptr;
        ASSERT_TRUE(acquire_ok(name, &handle));
        ASSERT_NE(handle, nullptr) << name;
        EXPECT_EQ(handle->magic, LIGHT_HANDLE_MAGIC) << name;
        EXPECT_EQ(memcmp(&handle->magic, "TDWH", 4), 0) << name;
        EXPECT_EQ(handle->revision, 0u) << name;
        EXPECT_EQ(handle->owner, &HMI) << name;
        EXPECT_TRUE(all_zero(handle->spare, sizeof handle->spare)) << name;
        EXPECT_NE(handle->apply_state, nullptr) << name;
        ASSERT_NE(handle->release, nullptr) << name;
        EXPECT_EQ(handle->release(handle), 0) << name;
    }
}

TEST(AcquireTest, OwnerIsThePointerPassedInEvenIfNotTheRecord)
{
    module_record other = HMI;
    light_handle* handle = nullptr;
    ASSERT_EQ(HMI.entry_table->open_entry(&other, "keyboard", &handle), 0);
    EXPECT_EQ(handle->owner, &other);
    handle->release(handle);
}

TEST(AcquireTest, EachLightHasItsOwnOperationAndAllShareOneRelease)
{
    std::set<void*> operations;
    std::set<void*> releases;
    for (const char* name : light_names) {
        light_handle* handle = nullptr;
        ASSERT_TRUE(acquire_ok(name, &handle));
        operations.insert(reinterpret_cast<void*>(handle->apply_state));
        releases.insert(reinterpret_cast<void*>(handle->release));
        handle->release(handle);
    }
    EXPECT_EQ(operations.size(), 6u);
    EXPECT_EQ(releases.size(), 1u);
}

TEST(AcquireTest, TwoAcquiresOfOneLightGiveDistinctRecordsWithOneOperation)
{
    light_handle* first = nullptr;
    ASSERT_TRUE(acquire_ok("backlight", &first));
    light_handle* second = nullptr;
    ASSERT_TRUE(acquire_ok("backlight", &second));
    EXPECT_NE(first, second);
    EXPECT_EQ(first->apply_state, second->apply_state);
    first->release(first);
    second->release(second);
}

TEST(AcquireTest, RejectsEveryNameThatIsNotExactlyALightAndLeavesTheOutputAlone)
{
    const char* const wrong_names[] = {
        "Backlight",   "BACKLIGHT",  "backlight ", " backlight", "",       "backligh",
        "backlight\n", "backlightx", "keyboards",  "Attention",  "lights", "notification",
    };
    log_capture log;
    for (const char* name : wrong_names) {
        light_handle* handle = untouched;
        EXPECT_EQ(acquire(name, &handle), -EINVAL) << '"' << name << '"';
        EXPECT_EQ(handle, untouched) << '"' << name << '"';
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST(AcquireTest, RejectsANullNameOrOutputPointer)
{
    light_handle* handle = untouched;
    EXPECT_EQ(acquire(nullptr, &handle), -EINVAL);
    EXPECT_EQ(handle, untouched);
    EXPECT_EQ(acquire("backlight", nullptr), -EINVAL);
}

TEST(ReleaseTest, AcceptsNullAndReturnsZero)
{
    light_handle* handle = nullptr;
    ASSERT_TRUE(acquire_ok("battery", &handle));
    EXPECT_EQ(handle->release(nullptr), 0);
    EXPECT_EQ(handle->release(handle), 0);
}

TEST_F(BacklightTest, PassiveLightsAcceptEveryRequestAndDoNothing)
{
    const uint32_t colours[] = {0x00000000u, 0xFFFFFFFFu, 0x80FF0000u, 0x0000FF00u, 0x123456u};
    for (size_t i = 1; i < 6; ++i) {
        const char* name = light_names[i];
        light_handle* passive = nullptr;
        ASSERT_TRUE(acquire_owned(name, &passive));
        for (uint32_t argb : colours)
            EXPECT_EQ(apply(passive, argb), 0) << name;
        EXPECT_EQ(passive->apply_state(passive, nullptr), 0) << name;
        EXPECT_EQ(passive->apply_state(nullptr, nullptr), 0) << name;
    }
    EXPECT_TRUE(backlight_backend::take_levels().empty());
    EXPECT_TRUE(log.lines().empty());
}
