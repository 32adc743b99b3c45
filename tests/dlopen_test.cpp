// libqo.so loads with dlopen() even when the static TLS block has no room
// left, as in a plugin host that has loaded many libraries.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>

namespace {

// Libraries with initial-exec TLS of 4096, 2048, ... 64 bytes: loading each
// that still fits leaves less than 64 bytes of the block free.
void spend_static_tls()
{
    int loaded = 0;
    for (int size = 4096; size >= 64; size /= 2) {
        const std::string path =
            TLS_HOG_DIR "/libtls_hog_" + std::to_string(size) + ".so";
        if (dlopen(path.c_str(), RTLD_NOW))
            loaded++;
    }
    ASSERT_GT(loaded, 0) << "no room to spend: " << dlerror();
}

TEST(Dlopen, SharedLibraryLoadsWhenStaticTlsIsSpent)
{
    spend_static_tls();
    void *qo = dlopen(SHARED_LIBQO, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(qo, nullptr) << dlerror();
    using Stresc = char *(*)(const char *, const char *, char, char);
    auto stresc = reinterpret_cast<Stresc>(dlsym(qo, "qo_stresc"));
    ASSERT_NE(stresc, nullptr);
    char *escaped = stresc("it's", "'", '\\', '\'');
    EXPECT_STREQ(escaped, "it'\\''s");
    free(escaped);
}

} // namespace
