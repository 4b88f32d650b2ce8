// Both DLLs carry the version resource a support engineer reads
// (Explorer's properties, GetFileVersionInfo): read here through the same
// system calls, from the built files.
#if defined(_WIN32)
#include "../harness/plugin_library.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

class VersionResource : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        const std::string path = programFolder() + libraryFileName(GetParam());
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        ASSERT_NE(0u, size) << path << ": no version resource";
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block_.data()));
    }

    std::string text(const char* key) {
        const std::string query = std::string("\\StringFileInfo\\040904B0\\") + key;
        char* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block_.data(), query.c_str(), reinterpret_cast<void**>(&value),
                            &length) ||
            value == nullptr)
            return "(missing)";
        return std::string(value);
    }

    std::vector<char> block_;
};

TEST_P(VersionResource, NamesTheBuildAndThePlugin) {
    const std::string name = GetParam();
    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(c - 'a' + 'A');
    EXPECT_EQ(NAVPLUGINS_VERSION, text("FileVersion"));
    EXPECT_EQ(NAVPLUGINS_VERSION, text("ProductVersion"));
    EXPECT_EQ("Marvek Ltd.", text("CompanyName"));
    EXPECT_EQ(upper, text("ProductName"));
    EXPECT_EQ(0u, text("FileDescription").find(upper + " ")) << text("FileDescription");
    EXPECT_EQ(name + ".dll", text("OriginalFilename"));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block_.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(sizeof *fixed, length);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(NAVPLUGINS_VERSION, numbers);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
}

INSTANTIATE_TEST_SUITE_P(Deliverables, VersionResource, ::testing::Values("wendmark", "orvane"));

} // namespace
#endif
