// SPDX-License-Identifier: LGPL-2.1-or-later
// Test-only JNI: the bytes malloc has handed out and not yet taken back, across all arenas. Unlike
// the resident size it does not move with what the allocator keeps for reuse, so a leak check can
// be tight.
#include <jni.h>

#include <malloc.h>

extern "C" JNIEXPORT jlong JNICALL Java_org_vorn_testsupport_NativeMemory_mallocInUseBytes(JNIEnv *, jclass)
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<jlong>(info.uordblks + info.hblkhd);
}
