// SPDX-License-Identifier: LGPL-2.1-or-later
// The one JVM of the embedded-JVM test executable (with -Xcheck:jni), created by the first caller
// and attached to each calling thread after that, and the text of the exception a test left pending.
#ifndef VORN_TESTS_EMBEDDED_JVM_H
#define VORN_TESTS_EMBEDDED_JVM_H

#include <jni.h>

#include <string>

inline JNIEnv *embeddedJvmEnv()
{
    JavaVM *vm = nullptr;
    jsize count = 0;
    if (JNI_GetCreatedJavaVMs(&vm, 1, &count) != JNI_OK || count == 0) {
        std::string classPath = std::string("-Djava.class.path=") + VORN_TEST_CLASSPATH;
        JavaVMOption options[] = {
            {const_cast<char *>("-Xcheck:jni"), nullptr},
            {const_cast<char *>("-Dfile.encoding=UTF-8"), nullptr},
            {const_cast<char *>(classPath.c_str()), nullptr},
        };
        JavaVMInitArgs args{};
        args.version = JNI_VERSION_10;
        args.nOptions = sizeof options / sizeof options[0];
        args.options = options;
        JNIEnv *env = nullptr;
        return JNI_CreateJavaVM(&vm, reinterpret_cast<void **>(&env), &args) == JNI_OK ? env : nullptr;
    }
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_10) != JNI_OK) {
        vm->AttachCurrentThread(reinterpret_cast<void **>(&env), nullptr);
    }
    return env;
}

/* Takes the pending exception: "<class name>: <message>" ("(null)" for a null message), or
 * "(none)". Every local reference it makes is deleted: a test need not run in a local frame. */
inline std::string takeException(JNIEnv *env)
{
    jthrowable pending = env->ExceptionOccurred();
    if (pending == nullptr) {
        return "(none)";
    }
    env->ExceptionClear();
    jclass objectClass = env->FindClass("java/lang/Object");
    jclass classClass = env->FindClass("java/lang/Class");
    jclass throwableClass = env->FindClass("java/lang/Throwable");
    jmethodID getClass = env->GetMethodID(objectClass, "getClass", "()Ljava/lang/Class;");
    jmethodID getName = env->GetMethodID(classClass, "getName", "()Ljava/lang/String;");
    jmethodID getMessage = env->GetMethodID(throwableClass, "getMessage", "()Ljava/lang/String;");
    // -Xcheck:jni wants every call that may raise to be followed by a check.
    jobject cls = env->CallObjectMethod(pending, getClass);
    if (env->ExceptionCheck()) {
        return "(exception while naming the exception)";
    }
    auto name = static_cast<jstring>(env->CallObjectMethod(cls, getName));
    if (env->ExceptionCheck()) {
        return "(exception while naming the exception)";
    }
    auto message = static_cast<jstring>(env->CallObjectMethod(pending, getMessage));
    if (env->ExceptionCheck()) {
        return "(exception while reading the message)";
    }
    const char *nameChars = env->GetStringUTFChars(name, nullptr);
    std::string result = std::string(nameChars) + ": ";
    env->ReleaseStringUTFChars(name, nameChars);
    if (message == nullptr) {
        result += "(null)";
    } else {
        /* GetStringUTFChars gives modified UTF-8; the messages compared here hold no U+0000. */
        const char *messageChars = env->GetStringUTFChars(message, nullptr);
        result += messageChars;
        env->ReleaseStringUTFChars(message, messageChars);
        env->DeleteLocalRef(message);
    }
    env->DeleteLocalRef(name);
    env->DeleteLocalRef(cls);
    env->DeleteLocalRef(throwableClass);
    env->DeleteLocalRef(classClass);
    env->DeleteLocalRef(objectClass);
    env->DeleteLocalRef(pending);
    return result;
}

#endif
