// SPDX-License-Identifier: LGPL-2.1-or-later
/* Raising Java exceptions, handle buffers from Java, Java strings as C strings. */
#ifndef VORN_UTIL_H
#define VORN_UTIL_H

#include <jni.h>
#include <stddef.h>

#define VORN_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Both raising functions do nothing while an exception is pending: the first failure of a native
 * call is the one Java sees. */
VORN_EXPORT void throwException(JNIEnv *env, const char *className, const char *message);
VORN_EXPORT void throwFormattedException(JNIEnv *env, const char *className, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* A ComediException with `errorNumber` (comedi_errno(), or a system errno) beside its message,
 * through the exception's (String, int) constructor; as throwFormattedException otherwise. Not
 * exported: only the library's own modules raise it. */
void throwComediErrorNumber(JNIEnv *env, int errorNumber, const char *format, ...) __attribute__((format(printf, 3, 4)));

/* A zero-filled direct buffer of `size` bytes from org.lwjgl.BufferUtils, or null with an
 * exception pending. */
VORN_EXPORT jobject newJavaManagedByteBuffer(JNIEnv *env, jint size);

/* A malloc'ed, NUL-terminated copy of the string's bytes in the platform's default encoding, or
 * null with an exception pending. */
VORN_EXPORT char *GetStringNativeChars(JNIEnv *env, jstring jstr);

/* Rewrites `text` as valid modified UTF-8 into `out` (capacity `outSize`, at least 1): ASCII is
 * kept byte for byte, well-formed characters are kept (four-byte ones as surrogate pairs), a
 * malformed byte becomes U+FFFD and a character cut off at the end is dropped. Stops before a
 * character that would not fit. Returns the length written, without the NUL. */
size_t toModifiedUtf8(const char *text, char *out, size_t outSize);

#ifdef __cplusplus
}
#endif

#endif
