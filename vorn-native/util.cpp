// SPDX-License-Identifier: LGPL-2.1-or-later
#include "util.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kMessageBytes = 4000;
/* Sanitising may grow a message: a malformed byte becomes three, a four-byte character six. */
constexpr size_t kSanitizedBytes = 3 * kMessageBytes;

bool isAscii(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p >= 0x80) {
            return false;
        }
    }
    return true;
}

/* Length of the well-formed UTF-8 sequence at p (2..4), 0 when malformed, -1 when cut off by the
 * end of the text. Overlong forms, UTF-16 surrogates and code points above U+10FFFF are
 * malformed. */
int utf8SequenceLength(const unsigned char *p)
{
    const unsigned char lead = p[0];
    int length;
    unsigned minimum;
    unsigned codePoint;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    for (int k = 1; k < length; ++k) {
        if (p[k] == 0) {
            return -1;
        }
        if ((p[k] & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (p[k] & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

size_t putThreeByte(unsigned unit, char *out)
{
    out[0] = static_cast<char>(0xE0 | (unit >> 12));
    out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (unit & 0x3F));
    return 3;
}

/* The JVM only takes modified UTF-8; device names and system texts may carry any bytes. */
jstring newSanitizedString(JNIEnv *env, const char *text)
{
    if (isAscii(text)) {
        return env->NewStringUTF(text);
    }
    char sanitized[kSanitizedBytes];
    toModifiedUtf8(text, sanitized, sizeof sanitized);
    return env->NewStringUTF(sanitized);
}

jstring sprintfJavaString(JNIEnv *env, const char *format, va_list args)
{
    char message[kMessageBytes];
    vsnprintf(message, kMessageBytes, format, args);
    message[kMessageBytes - 1] = '\0';
    return newSanitizedString(env, message);
}

} // namespace

extern "C" size_t toModifiedUtf8(const char *text, char *out, size_t outSize)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    size_t n = 0;
    while (*p) {
        char piece[6];
        size_t pieceLength;
        if (*p < 0x80) {
            piece[0] = static_cast<char>(*p);
            pieceLength = 1;
            p += 1;
        } else {
            const int length = utf8SequenceLength(p);
            if (length < 0) {
                break; /* a character cut off at the end of the text is dropped whole */
            }
            if (length == 0) {
                pieceLength = putThreeByte(0xFFFD, piece);
                p += 1;
            } else if (length < 4) {
                memcpy(piece, p, length);
                pieceLength = length;
                p += length;
            } else {
                const unsigned codePoint = ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6)
                                           | (p[3] & 0x3Fu);
                const unsigned offset = codePoint - 0x10000;
                pieceLength = putThreeByte(0xD800 | (offset >> 10), piece);
                pieceLength += putThreeByte(0xDC00 | (offset & 0x3FF), piece + 3);
                p += 4;
            }
        }
        if (n + pieceLength >= outSize) {
            break;
        }
        memcpy(out + n, piece, pieceLength);
        n += pieceLength;
    }
    out[n] = '\0';
    return n;
}

extern "C" void throwException(JNIEnv *env, const char *className, const char *message)
{
    if (env->ExceptionCheck()) {
        return;
    }
    jclass cls = env->FindClass(className);
    if (cls == nullptr) {
        return;
    }
    if (message != nullptr && !isAscii(message)) {
        char sanitized[kSanitizedBytes];
        toModifiedUtf8(message, sanitized, sizeof sanitized);
        env->ThrowNew(cls, sanitized);
        return;
    }
    env->ThrowNew(cls, message);
}

namespace {

/* Raises a new `className` made by its constructor `signature`: (String) or (String, int) with
 * `number`. Nothing while an exception is pending. */
void throwConstructed(JNIEnv *env, const char *className, const char *signature, jint number, const char *format,
                      va_list args)
{
    if (env->ExceptionCheck()) {
        return;
    }
    jstring message = sprintfJavaString(env, format, args);
    if (message == nullptr) {
        return;
    }
    jclass cls = env->FindClass(className);
    if (cls == nullptr) {
        return;
    }
    jmethodID constructor = env->GetMethodID(cls, "<init>", signature);
    if (constructor == nullptr) {
        return;
    }
    jobject exception = env->NewObject(cls, constructor, message, number);
    if (exception == nullptr) {
        return;
    }
    env->Throw(static_cast<jthrowable>(exception));
}

} // namespace

extern "C" void throwFormattedException(JNIEnv *env, const char *className, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    throwConstructed(env, className, "(Ljava/lang/String;)V", 0, format, args);
    va_end(args);
}

extern "C" void throwComediErrorNumber(JNIEnv *env, int errorNumber, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    throwConstructed(env, "org/vorn/exception/ComediException", "(Ljava/lang/String;I)V", errorNumber, format, args);
    va_end(args);
}

extern "C" jobject newJavaManagedByteBuffer(JNIEnv *env, jint size)
{
    jclass factory = env->FindClass("org/lwjgl/BufferUtils");
    if (factory == nullptr) {
        return nullptr;
    }
    jmethodID create = env->GetStaticMethodID(factory, "createByteBuffer", "(I)Ljava/nio/ByteBuffer;");
    if (create == nullptr) {
        return nullptr;
    }
    jobject buffer = env->CallStaticObjectMethod(factory, create, size);
    /* Callers go on to GetDirectBufferAddress: the JVM requires the check after a Java call. */
    if (env->ExceptionCheck()) {
        if (buffer != nullptr) {
            env->DeleteLocalRef(buffer);
        }
        return nullptr;
    }
    return buffer;
}

extern "C" char *GetStringNativeChars(JNIEnv *env, jstring jstr)
{
    if (jstr == nullptr) {
        throwException(env, "java/lang/NullPointerException", "string argument is null");
        return nullptr;
    }
    if (env->EnsureLocalCapacity(2) < 0) {
        return nullptr;
    }
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    jmethodID getBytes = env->GetMethodID(stringClass, "getBytes", "()[B");
    if (getBytes == nullptr) {
        return nullptr;
    }
    jbyteArray bytes = static_cast<jbyteArray>(env->CallObjectMethod(jstr, getBytes));
    jthrowable failure = env->ExceptionOccurred();
    if (failure != nullptr) {
        env->DeleteLocalRef(failure);
        if (bytes != nullptr) {
            env->DeleteLocalRef(bytes);
        }
        return nullptr;
    }
    const jsize length = env->GetArrayLength(bytes);
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (copy == nullptr) {
        throwException(env, "java/lang/OutOfMemoryError", nullptr);
        env->DeleteLocalRef(bytes);
        return nullptr;
    }
    env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte *>(copy));
    copy[length] = '\0';
    env->DeleteLocalRef(bytes);
    return copy;
}
