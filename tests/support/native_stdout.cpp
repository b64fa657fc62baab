// SPDX-License-Identifier: LGPL-2.1-or-later
// Test-only JNI library: captures what native code writes to the C standard output stream, which
// System.out never sees.
#include <jni.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {
int savedStdout = -1;
FILE *captureFile = nullptr;
} // namespace

extern "C" JNIEXPORT void JNICALL Java_org_vorn_testsupport_NativeStdout_begin(JNIEnv *env, jclass)
{
    if (captureFile != nullptr) {
        env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), "capture already running");
        return;
    }
    fflush(stdout);
    captureFile = tmpfile();
    savedStdout = dup(STDOUT_FILENO);
    dup2(fileno(captureFile), STDOUT_FILENO);
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_org_vorn_testsupport_NativeStdout_end(JNIEnv *env, jclass)
{
    if (captureFile == nullptr) {
        env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), "no capture running");
        return nullptr;
    }
    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    std::string captured;
    rewind(captureFile);
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, captureFile)) > 0;) {
        captured.append(chunk, n);
    }
    fclose(captureFile);
    captureFile = nullptr;
    jbyteArray bytes = env->NewByteArray(static_cast<jsize>(captured.size()));
    env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(captured.size()),
                            reinterpret_cast<const jbyte *>(captured.data()));
    return bytes;
}
