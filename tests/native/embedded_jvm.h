// The one JVM of the embedded-JVM test executable (with -Xcheck:jni), created by the first caller
// and attached to each calling thread after that.
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

#endif
