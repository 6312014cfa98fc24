#include <gtest/gtest.h>

#include "app/instance_mutex.h"
#include "core/client_key.h"
#include "core/identifiers.h"
#include "core/text.h"

namespace vorn {
namespace {

TEST(InstanceLock, NameCarriesTheClientKey) {
    EXPECT_EQ(instance_mutex_name(L"C:\\Games\\Client"),
              L"Local\\VornellLauncher-" + to_utf16(client_key(L"C:\\Games\\Client")));
}

TEST(InstanceLock, SecondLauncherForTheSameFolderSeesTheFirst) {
    const std::wstring folder = L"C:\\Games\\Vorn-" + to_utf16(random_hex(8));
    InstanceLock first = acquire_instance_lock(folder);
    ASSERT_TRUE(first.mutex);
    EXPECT_FALSE(first.already_running);

    // Another spelling of the same folder is the same client.
    InstanceLock second = acquire_instance_lock(lower_ascii(folder) + L"\\");
    ASSERT_TRUE(second.mutex);
    EXPECT_TRUE(second.already_running);

    InstanceLock other = acquire_instance_lock(folder + L"-other");
    EXPECT_FALSE(other.already_running);

    first.mutex.reset();
    second.mutex.reset();
    InstanceLock after = acquire_instance_lock(folder);
    EXPECT_FALSE(after.already_running) << "closing every handle ends the lock";
}

}  // namespace
}  // namespace vorn
