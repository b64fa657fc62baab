// SPDX-License-Identifier: LGPL-2.1-or-later
// The JNI helpers, called directly from C++ inside a real JVM (with -Xcheck:jni).
#include <jni.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "device_common.h"
#include "embedded_jvm.h"
#include "util.h"

namespace {

JNIEnv *env = nullptr;

class JvmEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        env = embeddedJvmEnv();
        ASSERT_NE(env, nullptr);
    }
};

const auto *const jvm = ::testing::AddGlobalTestEnvironment(new JvmEnvironment);

/* Java's own view of a message: its UTF-16 length, e.g. to count replacement characters. */
jsize pendingMessageLength()
{
    jthrowable pending = env->ExceptionOccurred();
    env->ExceptionClear();
    jmethodID getMessage = env->GetMethodID(env->FindClass("java/lang/Throwable"), "getMessage", "()Ljava/lang/String;");
    auto message = static_cast<jstring>(env->CallObjectMethod(pending, getMessage));
    env->ExceptionCheck();
    return env->GetStringLength(message);
}

class JniHelpers : public ::testing::Test {
protected:
    void SetUp() override
    {
        env->PushLocalFrame(64);
    }
    void TearDown() override
    {
        env->ExceptionClear();
        env->PopLocalFrame(nullptr);
    }
};

TEST_F(JniHelpers, FormattedMessageIsPrintfOutput)
{
    throwFormattedException(env, COMEDI_EXCEPTION, "Maximum channels supported is %d, requesting %d", 256, 300);
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: Maximum channels supported is 256, requesting 300");
}

TEST_F(JniHelpers, FirstRaisedExceptionWins)
{
    throwFormattedException(env, COMEDI_EXCEPTION, "first %s", "failure");
    throwFormattedException(env, COMEDI_EXCEPTION, "second %s", "failure");
    throwException(env, "java/lang/IllegalStateException", "third");
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: first failure");
}

TEST_F(JniHelpers, FixedMessageAndNullMessage)
{
    throwException(env, COMEDI_EXCEPTION, "Error preparing command.");
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: Error preparing command.");
    throwException(env, "java/lang/OutOfMemoryError", nullptr);
    EXPECT_EQ(takeException(env), "java.lang.OutOfMemoryError: (null)");
}

TEST_F(JniHelpers, UnknownClassLeavesTheVirtualMachinesError)
{
    throwFormattedException(env, "org/vorn/NoSuchException", "text %d", 1);
    EXPECT_EQ(takeException(env).rfind("java.lang.NoClassDefFoundError: org/vorn/NoSuchException", 0), 0u);
    throwException(env, "org/vorn/NoSuchException", "text");
    EXPECT_EQ(takeException(env).rfind("java.lang.NoClassDefFoundError: org/vorn/NoSuchException", 0), 0u);
}

TEST_F(JniHelpers, LongAsciiMessageIsCutAt3999Bytes)
{
    const std::string longText(5000, 'x');
    throwFormattedException(env, COMEDI_EXCEPTION, "%s", longText.c_str());
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: " + std::string(3999, 'x'));
}

TEST_F(JniHelpers, CutNeverSplitsACharacter)
{
    /* 3998 ASCII bytes, then a two-byte character that the cut at 3999 would split. */
    const std::string text = std::string(3998, 'a') + "\xc3\xa9" + "tail";
    throwFormattedException(env, COMEDI_EXCEPTION, "%s", text.c_str());
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: " + std::string(3998, 'a'));
}

TEST_F(JniHelpers, MalformedBytesBecomeReplacementCharacters)
{
    throwFormattedException(env, COMEDI_EXCEPTION, "name %s!", "a\xff" "b\xc3");
    /* "name a", U+FFFD, "b", U+FFFD (a lone lead byte before '!'), "!" */
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: name a\xef\xbf\xbd" "b\xef\xbf\xbd!");
    throwException(env, COMEDI_EXCEPTION, "fixed \x80");
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: fixed \xef\xbf\xbd");
}

TEST_F(JniHelpers, FourByteCharacterReachesJavaAsOneCodePoint)
{
    throwFormattedException(env, COMEDI_EXCEPTION, "%s", "\xf0\x9f\x98\x80"); /* U+1F600 */
    EXPECT_EQ(pendingMessageLength(), 2); /* one surrogate pair */
}

TEST_F(JniHelpers, StringCopies)
{
    char *empty = GetStringNativeChars(env, env->NewStringUTF(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    free(empty);

    char *accented = GetStringNativeChars(env, env->NewStringUTF("\xc3\xa9")); /* U+00E9 */
    ASSERT_NE(accented, nullptr);
    EXPECT_STREQ(accented, "\xc3\xa9");
    free(accented);

    const jchar withNul[] = {'a', 0, 'b'};
    char *copy = GetStringNativeChars(env, env->NewString(withNul, 3));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string(copy, 4), std::string("a\0b\0", 4));
    EXPECT_EQ(strlen(copy), 1u);
    free(copy);
    EXPECT_FALSE(env->ExceptionCheck());
}

TEST_F(JniHelpers, NullStringRaisesNullPointerException)
{
    EXPECT_EQ(GetStringNativeChars(env, nullptr), nullptr);
    EXPECT_EQ(takeException(env), "java.lang.NullPointerException: string argument is null");
}

TEST_F(JniHelpers, HandleBufferIsDirectZeroFilledAndExactlySized)
{
    jobject buffer = newJavaManagedByteBuffer(env, sizeof(ComediHandle));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(env->GetDirectBufferCapacity(buffer), static_cast<jlong>(sizeof(ComediHandle)));
    const auto *bytes = static_cast<const unsigned char *>(env->GetDirectBufferAddress(buffer));
    ASSERT_NE(bytes, nullptr);
    size_t nonZero = 0;
    for (size_t k = 0; k < sizeof(ComediHandle); ++k) {
        nonZero += bytes[k] != 0;
    }
    EXPECT_EQ(nonZero, 0u);
}

TEST_F(JniHelpers, NegativeBufferSizeLeavesJavasException)
{
    EXPECT_EQ(newJavaManagedByteBuffer(env, -1), nullptr);
    EXPECT_EQ(takeException(env).rfind("java.lang.IllegalArgumentException", 0), 0u);
}

TEST_F(JniHelpers, BadBuffersRaiseInsteadOfCrashing)
{
    EXPECT_EQ(getComediHandle(env, nullptr), nullptr);
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: The device handle is null");
    jbyteArray array = env->NewByteArray(8);
    jclass wrapper = env->FindClass("java/nio/ByteBuffer");
    jmethodID wrap = env->GetStaticMethodID(wrapper, "wrap", "([B)Ljava/nio/ByteBuffer;");
    jobject heapBuffer = env->CallStaticObjectMethod(wrapper, wrap, array);
    ASSERT_FALSE(env->ExceptionCheck());
    EXPECT_EQ(getDataBufferAddress(env, heapBuffer, "scan buffer"), nullptr);
    EXPECT_EQ(takeException(env), "org.vorn.exception.ComediException: The scan buffer is not a direct buffer");
}

} // namespace
